// patcher.exe PATCH TARGET: applies a patch to TARGET in place. Exit status 0
// on success; otherwise one line on stderr and a status that tells the kind of
// failure (2 for bad usage).
#include "patch_format.h"

#include <QString>

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: patcher.exe PATCH TARGET\n");
        return 2;
    }
    const PatchResult result =
        apply_patch_file(QString::fromLocal8Bit(argv[1]), QString::fromLocal8Bit(argv[2]));
    if (result.ok)
        return 0;
    std::fprintf(stderr, "patcher.exe: %s\n", result.message.toLocal8Bit().constData());
    return int(result.error);
}
