#include "bz2_fast_block_decoder.h"

#include "bz2_crc.h"
#include "bz2_format.h"
#include "bz2_block_decoder.h"

#include <QtAlgorithms>
#include <QtEndian>

#include <algorithm>
#include <cstring>

namespace {

// The block magic in the two 24-bit reads that take it.
constexpr quint32 MAGIC_HIGH = quint32(BZ2_BLOCK_MAGIC >> 24);
constexpr quint32 MAGIC_LOW = quint32(BZ2_BLOCK_MAGIC & 0xffffff);

} // namespace

bool Bz2FastBlockDecoder::read_tables(Bz2BitReader &bits)
{
    const quint32 ranges = bits.read(16);
    in_use = 0;
    for (int range = 0; range < 16; ++range) {
        if (!(ranges & 0x8000u >> range))
            continue;
        const quint32 used = bits.read(16);
        for (int i = 0; i < 16; ++i) {
            if (used & 0x8000u >> i)
                values[in_use++] = uchar(range * 16 + i);
        }
    }
    if (in_use == 0)
        return false;

    groups = int(bits.read(3));
    if (groups < 2 || groups > BZ2_MAX_TABLES)
        return false;
    // More selectors than a block can use are left to libbzip2, which reads
    // and drops the extra ones; no encoder writes them.
    selectors = int(bits.read(15));
    if (selectors < 1 || selectors > MAX_SELECTORS)
        return false;
    // Selectors come move-to-front coded in unary.
    uchar order[BZ2_MAX_TABLES];
    for (int g = 0; g < BZ2_MAX_TABLES; ++g)
        order[g] = uchar(g);
    for (int i = 0; i < selectors; ++i) {
        int index = 0;
        while (bits.read(1)) {
            if (++index >= groups)
                return false;
        }
        const uchar group = order[index];
        for (int j = index; j > 0; --j)
            order[j] = order[j - 1];
        order[0] = group;
        selector[i] = group;
    }

    // Code lengths, each a change from the one before.
    const int symbols = in_use + 2;
    uchar lengths[Bz2HuffmanTable::MAX_SYMBOLS];
    for (int g = 0; g < groups; ++g) {
        int current = int(bits.read(5));
        for (int i = 0; i < symbols; ++i) {
            for (;;) {
                if (current < 1 || current > Bz2HuffmanTable::MAX_LENGTH)
                    return false;
                if (!bits.read(1))
                    break;
                current += bits.read(1) ? -1 : 1;
            }
            lengths[i] = uchar(current);
        }
        if (!tables[g].build(lengths, symbols))
            return false;
    }
    return true;
}

// Huffman symbols to bytes: BZ2_RUN_A and BZ2_RUN_B spell the length of a run of the
// front byte in bijective base 2, any other symbol moves a byte to the front.
bool Bz2FastBlockDecoder::read_symbols(Bz2BitReader &bits, qint64 end_bit, quint32 block_limit)
{
    uchar order[256] = {};
    std::copy(values, values + in_use, order);
    std::fill(std::begin(counts), std::end(counts), 0u);
    quint32 *const out = inverter.entries(block_limit);
    quint32 n = 0;
    quint32 run = 0;
    quint32 weight = 1;
    const int end_symbol = in_use + 1;
    int group = 0;
    int left = 0;
    const Bz2HuffmanTable *table = nullptr;
    for (;;) {
        if (left == 0) {
            if (group >= selectors || bits.position() > end_bit)
                return false;
            table = &tables[selector[group++]];
            left = BZ2_GROUP_SIZE;
        }
        --left;
        bits.refill();
        const int symbol = table->decode(bits);
        if (symbol <= BZ2_RUN_B) {
            if (symbol < 0)
                return false;
            run += weight << (symbol - BZ2_RUN_A); // BZ2_RUN_B counts twice
            weight <<= 1;
            if (run > block_limit)
                return false;
            continue;
        }
        if (run) {
            if (run > block_limit - n)
                return false;
            const uchar value = order[0];
            counts[value] += run;
            std::fill(out + n, out + n + run, quint32(value));
            n += run;
            run = 0;
            weight = 1;
        }
        if (symbol == end_symbol)
            break;
        if (n >= block_limit)
            return false;
        const int index = symbol - 1;
        const uchar value = order[index];
        if (index < 8) {
            // Most moves are short: done on the first eight bytes as a word,
            // each byte up to the index taking the one before it.
            const quint64 moved = (quint64(2) << (8 * index + 7)) - 1;
            const quint64 word = qFromLittleEndian<quint64>(order);
            qToLittleEndian((word << 8 & moved) | (word & ~moved) | value, order);
        } else {
            std::memmove(order + 1, order, size_t(index));
            order[0] = value;
        }
        ++counts[value];
        out[n++] = value;
    }
    length = n;
    return true;
}

namespace {

constexpr quint32 NO_RUN = ~0u;

// Where the first four equal bytes in a row start in in[from, length), or
// NO_RUN. Eight starting points at a time: a byte of the word is zero where
// the next three equal it.
quint32 find_run(const uchar *in, quint32 from, quint32 length)
{
    constexpr quint64 ONES = 0x0101010101010101ULL;
    quint32 i = from;
    for (; i + 11 <= length; i += 8) {
        const quint64 a = qFromLittleEndian<quint64>(in + i);
        const quint64 differ = (a ^ qFromLittleEndian<quint64>(in + i + 1)) |
            (a ^ qFromLittleEndian<quint64>(in + i + 2)) |
            (a ^ qFromLittleEndian<quint64>(in + i + 3));
        const quint64 zero = (differ - ONES) & ~differ & ONES << 7;
        if (zero)
            return i + quint32(qCountTrailingZeroBits(zero) / 8);
    }
    for (; i + 3 < length; ++i) {
        if (in[i] == in[i + 1] && in[i] == in[i + 2] && in[i] == in[i + 3])
            return i;
    }
    return NO_RUN;
}

} // namespace

// The final run-length step: after four equal bytes, the next byte tells how
// many more copies follow, and the byte after it starts afresh. Fills out up
// to room and returns how much it wrote; the next call goes on from there.
qint64 Bz2FastBlockDecoder::expand(uchar *out, qint64 room)
{
    Expansion &e = expansion;
    const uchar *const in = bytes.get();
    uchar *o = out;
    uchar *const stop = out + room;
    for (;;) {
        if (e.owed) {
            const int n = int(std::min<qint64>(e.owed, stop - o));
            std::memset(o, e.owed_byte, size_t(n));
            o += n;
            e.owed -= n;
            if (e.owed)
                break;
        }
        if (e.next == length || o == stop)
            break;
        if (!e.run_known) {
            const quint32 run = find_run(in, e.next, length);
            e.run_end = run == NO_RUN ? length : run + 4;
            e.counted = run != NO_RUN;
            e.run_known = true;
        }
        const quint32 n = quint32(std::min<qint64>(e.run_end - e.next, stop - o));
        std::memcpy(o, in + e.next, n);
        o += n;
        e.next += n;
        if (e.next < e.run_end || !e.counted)
            continue;
        if (e.next == length) {
            // The count is missing: libbzip2 takes that for damage.
            e.bad = true;
            break;
        }
        e.owed = in[e.next++];
        e.owed_byte = in[e.run_end - 1];
        e.run_known = false;
    }
    return o - out;
}

bool Bz2FastBlockDecoder::expansion_done() const
{
    return expansion.next == length && expansion.owed == 0;
}

// Runs the final step once over the whole block for its CRC. Output that
// fits one chunk stays in chunk; whole is false when it did not fit.
bool Bz2FastBlockDecoder::expand_checked(quint32 &crc, bool &whole)
{
    expansion = Expansion();
    crc = ~0u;
    whole = true;
    for (;;) {
        chunk.resize(Bz2BlockDecoder::CHUNK_SIZE);
        uchar *const out = reinterpret_cast<uchar *>(chunk.data());
        const qint64 size = expand(out, chunk.size());
        if (expansion.bad)
            return false;
        crc = Bz2Crc::update(crc, out, size_t(size));
        if (expansion_done()) {
            if (whole)
                chunk.resize(int(size));
            crc = ~crc;
            return true;
        }
        whole = false;
    }
}

Bz2FastBlockDecoder::Result
Bz2FastBlockDecoder::decode(const QByteArray &raw, int first_bit, qint64 bit_count, int level,
                            const std::function<bool(QByteArray &)> &consume)
{
    if (level < 1 || level > 9 || first_bit < 0 || first_bit > 7 || bit_count < 0 ||
        first_bit + bit_count > qint64(raw.size()) * 8)
        return Result::Declined;
    const qint64 end_bit = first_bit + bit_count;
    Bz2BitReader bits(reinterpret_cast<const uchar *>(raw.constData()), raw.size(), first_bit);
    if (bits.read(24) != MAGIC_HIGH || bits.read(24) != MAGIC_LOW)
        return Result::Declined;
    const quint32 stored_crc = bits.read(32);
    // Randomised blocks are left to libbzip2: no encoder makes them now.
    if (bits.read(1))
        return Result::Declined;
    const quint32 origin = bits.read(24);
    if (!read_tables(bits) || bits.position() > end_bit)
        return Result::Declined;

    const quint32 block_limit = quint32(level) * 100000;
    if (bytes_size < block_limit) {
        bytes.reset(new uchar[block_limit]);
        bytes_size = block_limit;
    }
    if (!read_symbols(bits, end_bit, block_limit))
        return Result::Declined;
    // The block must fill the range exactly, as it does in libbzip2's stream.
    if (bits.position() != end_bit || origin >= length ||
        !inverter.invert(counts, length, origin, bytes.get()))
        return Result::Declined;

    quint32 crc = 0;
    bool whole = false;
    if (!expand_checked(crc, whole) || crc != stored_crc)
        return Result::Declined;
    if (whole)
        return consume(chunk) ? Result::Decoded : Result::Stopped;
    // Too large for one chunk: expanded again, a chunk at a time.
    expansion = Expansion();
    for (;;) {
        chunk.resize(Bz2BlockDecoder::CHUNK_SIZE);
        const qint64 size = expand(reinterpret_cast<uchar *>(chunk.data()), chunk.size());
        chunk.resize(int(size));
        if (!consume(chunk))
            return Result::Stopped;
        if (expansion_done())
            return Result::Decoded;
    }
}
