#include "bz2_magic_scanner.h"

#include "bz2_format.h"
#include "bz2_input_window.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr quint64 MAGIC_MASK = (quint64(1) << 48) - 1;

quint64 load_big_endian(const uchar *bytes)
{
    quint64 value = 0;
    for (int i = 0; i < 8; ++i)
        value = value << 8 | bytes[i];
    return value;
}

} // namespace

Bz2MagicScanner::Bz2MagicScanner()
{
    std::memset(table, 0, sizeof(table));
    // A magic that starts k bits into byte i fills bytes i + 1 to i + 3
    // completely; their values filter the positions before a full check.
    for (int k = 0; k < 8; ++k) {
        for (int t = 0; t < 3; ++t) {
            const int shift = 32 - 8 * t + k;
            table[t][(BZ2_BLOCK_MAGIC >> shift) & 0xff] |= quint16(1u << k);
            table[t][(BZ2_END_MAGIC >> shift) & 0xff] |= quint16(1u << (8 + k));
        }
    }
}

void Bz2MagicScanner::check(const uchar *bytes, qint64 offset, unsigned int shifts)
{
    const quint64 word = load_big_endian(bytes);
    for (int k = 0; k < 8; ++k) {
        const quint64 value = (word >> (16 - k)) & MAGIC_MASK;
        if ((shifts & (1u << k)) && value == BZ2_BLOCK_MAGIC)
            found.push_back({offset * 8 + k, false});
        else if ((shifts & (1u << (8 + k))) && value == BZ2_END_MAGIC)
            found.push_back({offset * 8 + k, true});
    }
}

void Bz2MagicScanner::scan(const Bz2InputWindow &window)
{
    const uchar *bytes = window.data() - window.begin(); // indexed by absolute offset
    // Eight bytes hold a magic at any of the eight bit shifts.
    const qint64 full_end = window.end() - 7;
    qint64 i = qMax(next_byte, window.begin());
    for (; i < full_end; ++i) {
        unsigned int shifts = table[0][bytes[i + 1]] & table[1][bytes[i + 2]];
        if (shifts) {
            shifts &= table[2][bytes[i + 3]];
            if (shifts)
                check(bytes + i, i, shifts);
        }
    }
    if (window.finished()) {
        // The last few bytes: pad with zeros and keep the magics that fit.
        for (; i < window.end(); ++i) {
            uchar padded[8] = {};
            std::memcpy(padded, bytes + i, size_t(window.end() - i));
            const size_t before = found.size();
            check(padded, i, 0xffff);
            while (found.size() > before && found.back().bit + 48 > window.end_bit())
                found.pop_back();
        }
        next_byte = i;
        scanned = window.end_bit();
        return;
    }
    next_byte = i;
    scanned = qMax<qint64>(i, 0) * 8;
}

const Bz2Candidate *Bz2MagicScanner::next_after(qint64 bit) const
{
    const auto it = std::upper_bound(
        found.begin(), found.end(), bit,
        [](qint64 value, const Bz2Candidate &candidate) { return value < candidate.bit; });
    return it == found.end() ? nullptr : &*it;
}

void Bz2MagicScanner::release_before(qint64 bit)
{
    while (!found.empty() && found.front().bit < bit)
        found.pop_front();
}
