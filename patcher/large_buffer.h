#pragma once

#include <cstddef>

// A writable buffer for a whole file. Where the system offers huge pages they
// back it: filling a fresh buffer of tens of MiB otherwise costs one page fault
// per 4 KiB, a visible share of applying a patch.
class LargeBuffer
{
public:
    LargeBuffer() = default;
    ~LargeBuffer();
    LargeBuffer(const LargeBuffer &) = delete;
    LargeBuffer &operator=(const LargeBuffer &) = delete;

    bool allocate(std::size_t size);
    char *data() const { return bytes; }

private:
    char *bytes = nullptr;
    char *base = nullptr; // start of the mapping, at or below bytes
    std::size_t mapped = 0; // 0: allocated with new[]
};
