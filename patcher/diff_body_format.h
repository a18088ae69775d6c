#pragma once

#include <cstddef>

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
constexpr int DIFF_BODY_FIXED_SIZE = 16;
// The longest LEB128 number of 64 bits, and so the largest control entry.
constexpr std::size_t DIFF_BODY_MAX_NUMBER = 10;
constexpr std::size_t DIFF_BODY_MAX_ENTRY = 3 * DIFF_BODY_MAX_NUMBER;
