// patcher.exe PATCH TARGET: applies a patch to TARGET in place (on Windows
// the names are taken from the wide command line). Exit status 0
// on success; otherwise one line on stderr and a status that tells the kind of
// failure (2 for bad usage).
#include "patch_apply.h"

#include <cstdio>
#include <string>
#include <vector>

#ifdef _WIN32
#include "windows_path.h"
#endif

int main(int argc, char **argv)
{
#ifdef _WIN32
    // The narrow arguments are in the system's code page; the wide command
    // line holds every name as it is.
    (void)argc;
    (void)argv;
    const std::vector<std::string> arguments = windows_arguments();
#else
    const std::vector<std::string> arguments(argv, argv + argc);
#endif
    if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: patcher.exe PATCH TARGET\n");
        return 2;
    }
    const PatchResult result = apply_patch_file(arguments[1], arguments[2]);
    if (result.ok)
        return 0;
    std::fprintf(stderr, "patcher.exe: %s\n", result.message.c_str());
    return int(result.error);
}
