#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class SuffixMatcher;

// Makes the body of a version 2 patch (see diff_body_format.h).
class DiffBody
{
public:
    // Writes a body into *body: with copies planned by matcher (which
    // indexes old_data), or, with a null matcher, without any. False with
    // *error set when compression fails or memory runs out.
    static bool write(const std::uint8_t *old_data, std::size_t old_size,
                      const std::uint8_t *new_data, std::size_t new_size,
                      const SuffixMatcher *matcher, int level, std::vector<char> *body,
                      std::string *error);
};
