#pragma once

#include <cstddef>
#include <cstdint>

// The part of an executable file that holds machine code: from the start of
// its first executable part to the end of its last, for 64-bit ELF and PE
// files for x86-64. Found from the file's own headers, which are checked to
// lie within it.
struct CodeRange
{
    std::size_t begin = 0;
    std::size_t end = 0;

    // False (and an empty range) when data is not such a file or has no code.
    static bool find(const std::uint8_t *data, std::size_t size, CodeRange *range);
};
