// patcher.exe PATCH TARGET [--max-size BYTES] [--output RESULT] (the options
// may stand anywhere): applies a patch to TARGET in place, or, with --output,
// writes the result to RESULT and leaves TARGET as it is; --max-size refuses
// a patch whose result would be larger (exit status 9) before anything is
// written. On Windows the names are taken from the wide command line. Exit
// status 0 on success; otherwise one line on stderr and a status that tells
// the kind of failure (2 for bad usage).
#include "patch_apply.h"
#include "system_file.h"

#include <openssl/crypto.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char **argv)
{
    // The hashes go through OpenSSL, which is told never to read a
    // configuration file: one at the folder built into the library could
    // name a module to load.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    const std::vector<std::string> arguments = system_file::program_arguments(argc, argv);
    PatchBounds bounds;
    std::vector<std::string> files;
    bool usable = true;
    for (std::size_t i = 1; i < arguments.size() && usable; ++i) {
        const std::string &argument = arguments[i];
        const bool has_value = i + 1 < arguments.size();
        if (argument == "--max-size" && has_value) {
            const std::string &value = arguments[++i];
            char *end = nullptr;
            errno = 0;
            const long long size = std::strtoll(value.c_str(), &end, 10);
            usable = !value.empty() && value[0] != '-' && end && *end == '\0' && errno == 0;
            bounds.max_result_size = size;
        } else if (argument == "--output" && has_value) {
            bounds.output_path = arguments[++i];
            usable = !bounds.output_path.empty();
        } else {
            files.push_back(argument);
        }
    }
    if (!usable || files.size() != 2) {
        std::fprintf(stderr, "usage: patcher.exe PATCH TARGET [--max-size BYTES] [--output RESULT]\n");
        return 2;
    }
    const PatchResult result = apply_patch_file(files[0], files[1], bounds);
    if (result.ok)
        return 0;
    std::fprintf(stderr, "patcher.exe: %s\n", result.message.c_str());
    return int(result.error);
}
