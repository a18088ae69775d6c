#pragma once

#include <cstdint>
#include <cstring>

// The differences of one copy: the new bytes minus the old ones they are
// copied from. Byte by byte in version 2. In version 3 every group of four
// bytes that starts at a new-file offset divisible by four and lies whole in
// the copy is subtracted as one 32-bit little-endian number, the other bytes
// one by one: where a table of offsets or a code operand moves by a small
// amount, the byte-wise difference carries noise from every carry, and the
// number's difference is the same small value all along.
class CopyDifference
{
public:
    // Writes the differences of length bytes at new_bytes (new_start in the
    // new file) against old_bytes into out.
    static void subtract(std::uint8_t *out, const std::uint8_t *new_bytes,
                         const std::uint8_t *old_bytes, std::uint64_t new_start,
                         std::uint64_t length, bool words)
    {
        walk(new_start, length, words, [&](std::uint64_t k, int size) {
            if (size == 1) {
                out[k] = std::uint8_t(new_bytes[k] - old_bytes[k]);
                return;
            }
            store(out + k, load(new_bytes + k) - load(old_bytes + k));
        });
    }

    // Turns the differences at to back into the new bytes.
    static void add(std::uint8_t *to, const std::uint8_t *old_bytes, std::uint64_t new_start,
                    std::uint64_t length, bool words)
    {
        walk(new_start, length, words, [&](std::uint64_t k, int size) {
            if (size == 1) {
                to[k] = std::uint8_t(to[k] + old_bytes[k]);
                return;
            }
            store(to + k, load(to + k) + load(old_bytes + k));
        });
    }

private:
    static std::uint32_t load(const std::uint8_t *p)
    {
        return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
            std::uint32_t(p[3]) << 24;
    }

    static void store(std::uint8_t *p, std::uint32_t value)
    {
        for (int i = 0; i < 4; ++i, value >>= 8)
            p[i] = std::uint8_t(value);
    }

    // Calls step(offset in the copy, 1 or 4) over the copy in order.
    template <typename Step>
    static void walk(std::uint64_t new_start, std::uint64_t length, bool words, Step step)
    {
        std::uint64_t k = 0;
        if (words) {
            for (; k < length && (new_start + k) % 4 != 0; ++k)
                step(k, 1);
            for (; k + 4 <= length; k += 4)
                step(k, 4);
        }
        for (; k < length; ++k)
            step(k, 1);
    }
};
