#include "bz2_block_encoder.h"

#include "bz2_bit_writer.h"
#include "bz2_code_lengths.h"
#include "bz2_format.h"

#include <algorithm>
#include <cstring>

namespace {

// The code lengths of one symbol in all tables, one lane each, so the cost
// of a group under every table is one vector sum per symbol. A group of 50
// symbols of at most 17 bits fits a lane.
typedef quint16 LaneCosts __attribute__((vector_size(16)));

// Symbols in the first table of a block of this many: small blocks do not
// pay for six tables.
int table_count(size_t symbols)
{
    return symbols < 200 ? 2 : symbols < 600 ? 3 : symbols < 1200 ? 4 : symbols < 2400 ? 5 : 6;
}

} // namespace

bool Bz2BlockEncoder::encode(const uchar *block, int size, quint32 crc, Bz2BitWriter *out)
{
    last.resize(size_t(size));
    const int row = sorter.sort(block, size, last.data());
    if (row < 0)
        return false;
    bool used[256] = {};
    for (int i = 0; i < size; ++i)
        used[block[i]] = true;
    make_symbols(used);
    choose_tables();
    write(used, row, crc, out);
    return true;
}

// Move-to-front over the bytes the block uses, zeros gathered into runs.
void Bz2BlockEncoder::make_symbols(const bool *used)
{
    uchar rank_of[256];
    int in_use = 0;
    for (int c = 0; c < 256; ++c) {
        if (used[c])
            rank_of[c] = uchar(in_use++);
    }
    alphabet = in_use + 2;
    std::fill(freq, freq + alphabet, 0);
    symbols.resize(last.size() + 1);
    quint16 *next = symbols.data();
    const auto push = [&](int symbol) {
        *next++ = quint16(symbol);
        ++freq[symbol];
    };
    quint32 zeros = 0;
    const auto flush_zeros = [&] {
        if (zeros == 0)
            return;
        quint32 rest = zeros - 1;
        for (;;) {
            push(rest & 1 ? BZ2_RUN_B : BZ2_RUN_A);
            if (rest < 2)
                break;
            rest = (rest - 2) / 2;
        }
        zeros = 0;
    };
    uchar order[256];
    for (int i = 0; i < in_use; ++i)
        order[i] = uchar(i);
    for (const uchar byte : last) {
        const uchar c = rank_of[byte];
        if (order[0] == c) {
            ++zeros;
            continue;
        }
        flush_zeros();
        uchar moved = order[0];
        order[0] = c;
        int j = 1;
        while (order[j] != c) {
            std::swap(moved, order[j]);
            ++j;
        }
        order[j] = moved;
        push(j + 1);
    }
    flush_zeros();
    push(in_use + 1); // end of block
    symbols.resize(size_t(next - symbols.data()));
}

// Starts each table cheap on its own stretch of symbols of about equal
// frequency, then lets every group pick its cheapest table and makes each
// table fit the groups that picked it, a few times over.
void Bz2BlockEncoder::choose_tables()
{
    const size_t count = symbols.size();
    tables = table_count(count);
    const size_t groups = (count + BZ2_GROUP_SIZE - 1) / BZ2_GROUP_SIZE;
    selectors.resize(groups);
    size_t remaining = count;
    int low = 0;
    for (int left = tables; left > 0; --left) {
        const size_t share = remaining / size_t(left);
        int high = low - 1;
        size_t taken = 0;
        while (taken < share && high < alphabet - 1)
            taken += freq[++high];
        for (int v = 0; v < alphabet; ++v)
            lengths[tables - left][v] = v >= low && v <= high ? 0 : 15;
        low = high + 1;
        remaining -= taken;
    }
    LaneCosts costs[BZ2_MAX_SYMBOLS];
    quint32 table_freq[BZ2_MAX_TABLES][BZ2_MAX_SYMBOLS];
    for (int pass = 0; pass < PASSES; ++pass) {
        for (int v = 0; v < alphabet; ++v) {
            LaneCosts lanes = {};
            for (int t = 0; t < tables; ++t)
                lanes[t] = lengths[t][v];
            costs[v] = lanes;
        }
        std::memset(table_freq, 0, sizeof table_freq);
        for (size_t g = 0; g < groups; ++g) {
            const quint16 *first = symbols.data() + g * BZ2_GROUP_SIZE;
            const quint16 *end = symbols.data() + std::min(count, (g + 1) * BZ2_GROUP_SIZE);
            LaneCosts sum = {};
            for (const quint16 *s = first; s != end; ++s)
                sum += costs[*s];
            int best = 0;
            for (int t = 1; t < tables; ++t) {
                if (sum[t] < sum[best])
                    best = t;
            }
            selectors[g] = uchar(best);
            quint32 *counts = table_freq[best];
            for (const quint16 *s = first; s != end; ++s)
                ++counts[*s];
        }
        for (int t = 0; t < tables; ++t)
            bz2_code_lengths(table_freq[t], alphabet, MAX_CODE_LENGTH, lengths[t]);
    }
}

void Bz2BlockEncoder::write(const bool *used, int row, quint32 crc, Bz2BitWriter *out) const
{
    out->put48(BZ2_BLOCK_MAGIC);
    out->put(32, crc);
    out->put(1, 0); // not randomised
    out->put(24, quint32(row));

    // Which bytes occur: a bit per range of 16, then a bit per byte of each
    // range that has any.
    quint32 ranges = 0;
    for (int r = 0; r < 16; ++r) {
        if (std::any_of(used + r * 16, used + r * 16 + 16, [](bool u) { return u; }))
            ranges |= 0x8000u >> r;
    }
    out->put(16, ranges);
    for (int r = 0; r < 16; ++r) {
        if (!(ranges & 0x8000u >> r))
            continue;
        quint32 bits = 0;
        for (int i = 0; i < 16; ++i)
            bits |= used[r * 16 + i] ? 0x8000u >> i : 0;
        out->put(16, bits);
    }

    // The table of each group, moved to front and written in unary.
    out->put(3, quint32(tables));
    out->put(15, quint32(selectors.size()));
    uchar order[BZ2_MAX_TABLES] = {0, 1, 2, 3, 4, 5};
    for (const uchar table : selectors) {
        int j = 0;
        while (order[j] != table)
            ++j;
        std::memmove(order + 1, order, size_t(j));
        order[0] = table;
        out->put(j + 1, (1u << (j + 1)) - 2);
    }

    // Each table's lengths as steps from the one before; then its codes,
    // given in order of length and, within a length, of symbol.
    quint32 codes[BZ2_MAX_TABLES][BZ2_MAX_SYMBOLS];
    for (int t = 0; t < tables; ++t) {
        int current = lengths[t][0];
        out->put(5, quint32(current));
        for (int v = 0; v < alphabet; ++v) {
            for (; current < lengths[t][v]; ++current)
                out->put(2, 2);
            for (; current > lengths[t][v]; --current)
                out->put(2, 3);
            out->put(1, 0);
        }
        quint32 code = 0;
        for (int length = 1; length <= MAX_CODE_LENGTH; ++length) {
            for (int v = 0; v < alphabet; ++v) {
                if (lengths[t][v] == length)
                    codes[t][v] = code++;
            }
            code <<= 1;
        }
    }

    const size_t count = symbols.size();
    for (size_t g = 0; g < selectors.size(); ++g) {
        const uchar *length = lengths[selectors[g]];
        const quint32 *code = codes[selectors[g]];
        const size_t end = std::min(count, (g + 1) * BZ2_GROUP_SIZE);
        for (size_t i = g * BZ2_GROUP_SIZE; i < end; ++i)
            out->put(length[symbols[i]], code[symbols[i]]);
    }
}
