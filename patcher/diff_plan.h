#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class SuffixMatcher;

// A stretch of the new content that is stored as its byte-wise difference
// from a stretch of the old content of the same length.
struct DiffCopy
{
    std::uint64_t new_start = 0;
    std::uint64_t old_start = 0;
    std::uint64_t length = 0;
};

// Chooses the copies for turning old into new, in increasing new_start order
// without overlaps; what lies between them is stored as new bytes. A copy
// need not match exactly: when code is rebuilt most bytes stay the same and
// only embedded addresses change, and a difference that is mostly zeros
// compresses far better than the new bytes would. A copy starts at an exact
// match found with the suffix array and is stretched on both sides while at
// least half of the bytes still agree.
std::vector<DiffCopy> plan_copies(const std::uint8_t *old_data, std::size_t old_size,
                                  const std::uint8_t *new_data, std::size_t new_size,
                                  const SuffixMatcher &matcher);
