#pragma once

#include <QString>

#include <cstddef>
#include <cstdint>
#include <vector>

class LargeBuffer;
class SuffixMatcher;

// The body of a version 2 patch, after the header (little-endian):
//   0   uint64 size C of the control frame
//   8   uint64 size D of the difference frame
//   16  control frame: zstd; a list of copies, each three LEB128 numbers: the
//       new bytes before the copy, its length (at least 1) and where it starts
//       in the old content relative to the end of the previous copy
//       (zigzag-coded, so it may go back)
//   16 + C  difference frame: zstd; for each copy in turn its bytes minus
//       the old bytes they are copied from
//   16 + C + D  new-bytes frame: zstd with the old content as prefix; the
//       bytes outside the copies, in order.
// Where rebuilt code only changed embedded addresses the differences are
// mostly zeros and compress very well on their own; the new bytes still find
// whatever moved as a whole in the old content.
class DiffBody
{
public:
    static constexpr int FIXED_SIZE = 16;

    // Writes a body into *body: with copies planned by matcher (which
    // indexes old_data), or, with a null matcher, without any. False with
    // *error set when compression fails or memory runs out.
    static bool write(const std::uint8_t *old_data, std::size_t old_size,
                      const std::uint8_t *new_data, std::size_t new_size,
                      const SuffixMatcher *matcher, int level, std::vector<char> *body,
                      QString *error);

    // Rebuilds the result_size bytes of the result from a body and the old
    // content into *out. False when the body is damaged or does not fit the
    // sizes; *out_of_memory tells a failed allocation apart.
    static bool read(const char *body, std::size_t body_size, const char *old_data,
                     std::size_t old_size, std::size_t result_size, LargeBuffer *out,
                     bool *out_of_memory);
};
