#pragma once

#include "diff_body_format.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class SuffixMatcher;

// Makes the body of a version 2 patch, which is also that of a version 3
// one after its prefix (see diff_body_format.h).
class DiffBody
{
public:
    // Writes a body into *body: with copies planned by matcher (which
    // indexes old_data), or, with a null matcher, without any. With
    // zero_runs the differences' runs of zeros are shortened and coded as in
    // version 3, and *coder tells which coder was kept (plain zstd, as in
    // version 2, otherwise). False with *error set when compression fails or
    // memory runs out.
    static bool write(const std::uint8_t *old_data, std::size_t old_size,
                      const std::uint8_t *new_data, std::size_t new_size,
                      const SuffixMatcher *matcher, int level, bool zero_runs,
                      std::vector<char> *body, DifferenceCoder *coder, std::string *error);
};
