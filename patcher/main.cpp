// patcher.exe PATCH TARGET: applies a patch to TARGET in place. Exit status 0
// on success; otherwise one line on stderr and a status that tells the kind of
// failure (2 for bad usage).
#include "patch_apply.h"

#include <cstdio>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: patcher.exe PATCH TARGET\n");
        return 2;
    }
    const PatchResult result = apply_patch_file(argv[1], argv[2]);
    if (result.ok)
        return 0;
    std::fprintf(stderr, "patcher.exe: %s\n", result.message.c_str());
    return int(result.error);
}
