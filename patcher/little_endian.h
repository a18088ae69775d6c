#pragma once

#include <cstdint>

// Fixed-width numbers stored least significant byte first, as every number
// in a patch file is.
inline std::uint64_t load_little_endian(const char *p, int bytes)
{
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | static_cast<unsigned char>(p[i]);
    return value;
}

inline void store_little_endian(std::uint64_t value, char *p, int bytes)
{
    for (int i = 0; i < bytes; ++i, value >>= 8)
        p[i] = char(value & 0xff);
}
