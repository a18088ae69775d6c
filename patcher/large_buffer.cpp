#include "large_buffer.h"

#include <cstdint>
#include <new>

#ifdef __linux__
#include <sys/mman.h>
#endif

namespace {
constexpr std::size_t HUGE_PAGE = std::size_t(2) << 20;
}

LargeBuffer::~LargeBuffer()
{
#ifdef __linux__
    if (mapped) {
        munmap(base, mapped);
        return;
    }
#endif
    delete[] bytes;
}

bool LargeBuffer::allocate(std::size_t size)
{
#ifdef __linux__
    if (size >= HUGE_PAGE) {
        // Huge pages back only whole, aligned 2 MiB stretches, and mmap
        // aligns to 4 KiB: map one huge page more and start at a boundary.
        mapped = (size + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE + HUGE_PAGE;
        void *memory =
            mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory != MAP_FAILED) {
            base = static_cast<char *>(memory);
            const std::uintptr_t address = reinterpret_cast<std::uintptr_t>(memory);
            const std::uintptr_t aligned = (address + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
            bytes = base + (aligned - address);
            madvise(bytes, mapped - (aligned - address), MADV_HUGEPAGE); // a hint only
            return true;
        }
        mapped = 0;
    }
#endif
    bytes = new (std::nothrow) char[size ? size : 1];
    return bytes != nullptr;
}
