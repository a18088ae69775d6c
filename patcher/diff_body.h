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
    // version3 the frames are coded as version 3 allows, the smallest way
    // tried, and *coding tells which (it is the version 2 coding otherwise).
    // False with *error set when compression fails or memory runs out.
    static bool write(const std::uint8_t *old_data, std::size_t old_size,
                      const std::uint8_t *new_data, std::size_t new_size,
                      const SuffixMatcher *matcher, int level, bool version3,
                      std::vector<char> *body, BodyCoding *coding, std::string *error);
};
