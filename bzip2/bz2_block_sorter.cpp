#include "bz2_block_sorter.h"

#include <divsufsort.h>

#include <algorithm>
#include <cstring>

namespace {

// Start of the smallest rotation of a block of size bytes; text holds the
// block twice over. Two candidates race; each mismatch rules out the run of
// starts behind the larger one, so the whole search is linear.
int smallest_rotation(const uchar *text, int size)
{
    int i = 0;
    int j = 1;
    int k = 0;
    while (i < size && j < size && k < size) {
        const uchar a = text[i + k];
        const uchar b = text[j + k];
        if (a == b) {
            ++k;
            continue;
        }
        if (a > b)
            i += k + 1;
        else
            j += k + 1;
        if (i == j)
            ++j;
        k = 0;
    }
    return std::min(i, j);
}

// Length of the shortest word whose repetition makes text; size if none.
int root_length(const uchar *text, int size)
{
    std::vector<int> divisors;
    for (int d = 1; d * d <= size; ++d) {
        if (size % d == 0) {
            divisors.push_back(d);
            divisors.push_back(size / d);
        }
    }
    std::sort(divisors.begin(), divisors.end());
    for (const int p : divisors) {
        if (p < size && std::memcmp(text, text + p, size_t(size - p)) == 0)
            return p;
    }
    return size;
}

} // namespace

int Bz2BlockSorter::sort(const uchar *block, int size, uchar *last)
{
    if (size <= 0)
        return -1;
    doubled.resize(size_t(size) * 2);
    std::memcpy(doubled.data(), block, size_t(size));
    std::memcpy(doubled.data() + size, block, size_t(size));
    const int start = smallest_rotation(doubled.data(), size);
    const uchar *word = doubled.data() + start;
    // In the turned block, the block itself starts here.
    const int block_start = (size - start) % size;
    const int root = root_length(word, size);
    if (root == size)
        return sort_lyndon(word, size, block_start, last);
    // A power of a shorter word: each row of the word's own matrix stands for
    // that many equal rows, any of which spells the block.
    const int repeats = size / root;
    std::vector<uchar> root_last(static_cast<size_t>(root));
    const int row = sort_lyndon(word, root, block_start % root, root_last.data());
    if (row < 0)
        return -1;
    for (int i = 0; i < root; ++i)
        std::memset(last + size_t(i) * repeats, root_last[size_t(i)], size_t(repeats));
    return row * repeats;
}

int Bz2BlockSorter::sort_lyndon(const uchar *word, int size, int row_of, uchar *last)
{
    suffixes.resize(size_t(size));
    if (divsufsort(word, suffixes.data(), size) != 0)
        return -1;
    int row = -1;
    for (int i = 0; i < size; ++i) {
        const int start = suffixes[size_t(i)];
        last[i] = word[start == 0 ? size - 1 : start - 1];
        if (start == row_of)
            row = i;
    }
    return row;
}
