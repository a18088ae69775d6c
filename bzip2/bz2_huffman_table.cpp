#include "bz2_huffman_table.h"

#include <algorithm>

bool Bz2HuffmanTable::build(const uchar *lengths, int symbols)
{
    if (symbols < 1 || symbols > MAX_SYMBOLS)
        return false;
    std::fill(std::begin(count), std::end(count), 0u);
    for (int i = 0; i < symbols; ++i) {
        if (lengths[i] < 1 || lengths[i] > MAX_LENGTH)
            return false;
        ++count[lengths[i]];
    }
    // A complete code fills the code space exactly: no code is left over
    // and none is claimed twice.
    quint64 space = 0;
    for (int length = 1; length <= MAX_LENGTH; ++length)
        space += quint64(count[length]) << (MAX_LENGTH - length);
    if (space != quint64(1) << MAX_LENGTH)
        return false;

    quint32 code = 0;
    quint32 position = 0;
    for (int length = 1; length <= MAX_LENGTH; ++length) {
        first[length] = code;
        offset[length] = position;
        code = (code + count[length]) << 1;
        position += count[length];
    }
    quint32 next[MAX_LENGTH + 1];
    std::copy(std::begin(offset), std::end(offset), next);
    for (int i = 0; i < symbols; ++i)
        sorted[next[lengths[i]]++] = quint16(i);

    std::fill(std::begin(fast), std::end(fast), quint16(0));
    for (int length = 1; length <= FAST_BITS; ++length) {
        const int spread = FAST_BITS - length;
        for (quint32 rank = 0; rank < count[length]; ++rank) {
            const quint32 start = (first[length] + rank) << spread;
            const quint16 entry =
                quint16(quint32(length) << LENGTH_SHIFT | sorted[offset[length] + rank]);
            std::fill(fast + start, fast + start + (1u << spread), entry);
        }
    }
    return true;
}

int Bz2HuffmanTable::decode_long(Bz2BitReader &bits) const
{
    const quint32 window = bits.peek(MAX_LENGTH);
    for (int length = FAST_BITS + 1; length <= MAX_LENGTH; ++length) {
        const quint32 index = (window >> (MAX_LENGTH - length)) - first[length];
        if (index < count[length]) {
            bits.skip(length);
            return sorted[offset[length] + index];
        }
    }
    return -1;
}
