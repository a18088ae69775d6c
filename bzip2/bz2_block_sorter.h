#pragma once

#include <QtGlobal>

#include <vector>

// The block-sorting step of bzip2: all rotations of a block in order, given
// as their last bytes and the row of the block itself.
//
// Suffix sorting does the work: for a block turned to start at its smallest
// rotation (a Lyndon word, or a power of one), the order of its suffixes is
// the order of its rotations. The buffers are kept from block to block.
class Bz2BlockSorter
{
public:
    // Writes size bytes to last and returns the row of the unrotated block;
    // -1 if the sort failed (out of memory).
    int sort(const uchar *block, int size, uchar *last);

private:
    int sort_lyndon(const uchar *word, int size, int row_of, uchar *last);

    std::vector<uchar> doubled;
    std::vector<int> suffixes;
};
