#include "large_buffer.h"

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
        munmap(bytes, mapped);
        return;
    }
#endif
    delete[] bytes;
}

bool LargeBuffer::allocate(std::size_t size)
{
#ifdef __linux__
    if (size >= HUGE_PAGE) {
        mapped = (size + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
        void *memory =
            mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory != MAP_FAILED) {
            madvise(memory, mapped, MADV_HUGEPAGE); // a hint; ignored where unsupported
            bytes = static_cast<char *>(memory);
            return true;
        }
        mapped = 0;
    }
#endif
    bytes = new (std::nothrow) char[size ? size : 1];
    return bytes != nullptr;
}
