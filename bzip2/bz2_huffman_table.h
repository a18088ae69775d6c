#pragma once

#include "bz2_format.h"
#include "bz2_bit_reader.h"

#include <QtGlobal>

// One of a bzip2 block's Huffman code tables. Codes are canonical: shorter
// codes first, and within a length in symbol order. Codes up to FAST_BITS
// long are found with one look-up; longer ones by length from there.
class Bz2HuffmanTable
{
public:
    static constexpr int FAST_BITS = 10;
    static constexpr int MAX_LENGTH = 20;
    static constexpr int MAX_SYMBOLS = BZ2_MAX_SYMBOLS;

    // Builds the table for lengths[0 .. count) (each 1 to MAX_LENGTH). Only
    // a complete prefix code is accepted.
    bool build(const uchar *lengths, int count);

    // The next symbol, or -1 for a code that is not in the table; needs at
    // least MAX_LENGTH bits in the reader's buffer.
    int decode(Bz2BitReader &bits) const
    {
        const quint32 entry = fast[bits.peek(FAST_BITS)];
        if (entry >= 1u << LENGTH_SHIFT) {
            bits.skip(int(entry >> LENGTH_SHIFT));
            return int(entry & SYMBOL_MASK);
        }
        return decode_long(bits);
    }

private:
    static constexpr int LENGTH_SHIFT = 9;
    static constexpr quint32 SYMBOL_MASK = (1u << LENGTH_SHIFT) - 1;

    int decode_long(Bz2BitReader &bits) const;

    // Symbol and code length, or 0 where the code is longer.
    quint16 fast[1 << FAST_BITS];
    // Per length: the first code, how many codes, and where their symbols
    // start in sorted.
    quint32 first[MAX_LENGTH + 1];
    quint32 count[MAX_LENGTH + 1];
    quint32 offset[MAX_LENGTH + 1];
    quint16 sorted[MAX_SYMBOLS];
};
