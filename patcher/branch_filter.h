#pragma once

#include <cstddef>
#include <cstdint>

// Rewrites the 32-bit relative operands of x86-64 code, the targets of calls
// and the addresses of data the code reads relative to itself,
// into positions counted from the start of the file, and back. When a
// rebuild inserts code, every relative operand that reaches across the
// insertion changes although what it points at did not; counted from the
// start of the file, all references to one place change by the same amount
// or not at all, and the differences between the builds become far fewer.
//
// The rewrite looks only at bytes it never changes (the opcodes before each
// operand, and it skips past each operand it considers) and at whether an
// operand is near, which the rewrite keeps; so the reverse sees the same
// places and restores the bytes exactly, whatever they hold: data that
// happens to look like code is rewritten and restored like code.
class BranchFilter
{
public:
    // Operands of instructions that lie whole within [begin, end) of data,
    // a buffer of size bytes; end <= size and begin <= end.
    static void encode(std::uint8_t *data, std::size_t begin, std::size_t end);
    static void decode(std::uint8_t *data, std::size_t begin, std::size_t end);
    // decode in steps, as the bytes arrive: restores the instructions that
    // start in [from, stop) of those within [begin, end) and returns where
    // the next step starts (from is begin for the first, then what the last
    // step returned). Reads no byte at or past stop + 7, and changes none
    // before from; the bytes before what it returns are restored for good.
    // Steps from begin to end give what one decode gives.
    static std::size_t decode_part(std::uint8_t *data, std::size_t from, std::size_t stop,
                                   std::size_t end);
};
