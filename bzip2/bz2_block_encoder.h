#pragma once

#include "bz2_block_sorter.h"
#include "bz2_format.h"

#include <QtGlobal>

#include <vector>

class Bz2BitWriter;

// Writes one bzip2 block: the bytes already run-length coded, sorted,
// moved to front with runs of zeros spelt out, and Huffman coded with up to
// six tables, the best of which is chosen for each group of 50 symbols. The
// buffers are kept from block to block.
class Bz2BlockEncoder
{
public:
    static constexpr int MAX_CODE_LENGTH = 17;

    // block: size bytes (1 to 900 000) after run-length coding; crc: the
    // block CRC of the bytes before. False if the block could not be sorted.
    bool encode(const uchar *block, int size, quint32 crc, Bz2BitWriter *out);

private:
    static constexpr int PASSES = 4;

    void make_symbols(const bool *used);
    void choose_tables();
    void write(const bool *used, int row, quint32 crc, Bz2BitWriter *out) const;

    Bz2BlockSorter sorter;
    std::vector<uchar> last;
    std::vector<quint16> symbols;
    std::vector<uchar> selectors;
    int alphabet = 0;
    int tables = 0;
    quint32 freq[BZ2_MAX_SYMBOLS] = {};
    uchar lengths[BZ2_MAX_TABLES][BZ2_MAX_SYMBOLS] = {};
};
