#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

// Finds, for any text, the longest prefix of it that occurs in a fixed old
// content, by binary search in the old content's suffix array. Memory: four
// bytes per old byte.
class SuffixMatcher
{
public:
    // Largest old content the 32-bit suffix array can index.
    static constexpr std::size_t MAX_SIZE = 0x7FFFFFFF;

    // Sorts the suffixes of old (kept by reference: it must outlive this).
    // False when old is too large or memory runs out.
    bool build(const std::uint8_t *old, std::size_t old_size);

    // Length of the longest prefix of text[0, size) found in the old content;
    // *position gets where it starts there. 0 when nothing matches.
    std::size_t longest(const std::uint8_t *text, std::size_t size, std::size_t *position) const;

private:
    std::size_t common(std::size_t old_start, const std::uint8_t *text, std::size_t size) const;

    const std::uint8_t *old = nullptr;
    std::size_t old_size = 0;
    std::unique_ptr<std::int32_t[]> suffixes;
};
