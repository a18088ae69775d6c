#include "suffix_matcher.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <new>

bool SuffixMatcher::build(const std::uint8_t *old_data, std::size_t size)
{
    static_assert(sizeof(saidx_t) == sizeof(std::int32_t), "32-bit suffix array");
    if (size > MAX_SIZE)
        return false;
    old = old_data;
    old_size = size;
    suffixes.reset(new (std::nothrow) std::int32_t[size ? size : 1]);
    if (!suffixes)
        return false;
    return size == 0 || divsufsort(old, suffixes.get(), saidx_t(size)) == 0;
}

std::size_t SuffixMatcher::common(std::size_t old_start, const std::uint8_t *text,
                                  std::size_t size) const
{
    const std::size_t limit = std::min(size, old_size - old_start);
    const std::uint8_t *a = old + old_start;
    std::size_t i = 0;
    // Eight bytes at a time until the first difference.
    while (i + 8 <= limit) {
        std::uint64_t x;
        std::uint64_t y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, text + i, 8);
        if (x != y)
            break;
        i += 8;
    }
    while (i < limit && a[i] == text[i])
        ++i;
    return i;
}

std::size_t SuffixMatcher::longest(const std::uint8_t *text, std::size_t size,
                                   std::size_t *position) const
{
    *position = 0;
    if (old_size == 0 || size == 0)
        return 0;
    // The suffixes sorted before and after text bound the range in which the
    // longest match lies; it is one of the two at the end of the search.
    std::size_t low = 0;
    std::size_t high = old_size - 1;
    while (high - low > 1) {
        const std::size_t middle = low + (high - low) / 2;
        const std::size_t start = std::size_t(suffixes[middle]);
        const std::size_t length = std::min(size, old_size - start);
        const int order = std::memcmp(old + start, text, length);
        if (order < 0 || (order == 0 && length < size))
            low = middle;
        else
            high = middle;
    }
    const std::size_t low_length = common(std::size_t(suffixes[low]), text, size);
    const std::size_t high_length = common(std::size_t(suffixes[high]), text, size);
    if (low_length >= high_length) {
        *position = std::size_t(suffixes[low]);
        return low_length;
    }
    *position = std::size_t(suffixes[high]);
    return high_length;
}
