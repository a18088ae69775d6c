#include "download/bz2_block_decoder.h"

#include "bz2_format.h"

#include <bzlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// ORs count bits of value (most significant first) into zeroed bytes at bit.
void put_bits(uchar *bytes, qint64 bit, quint64 value, int count)
{
    for (int i = count - 1; i >= 0; --i, ++bit) {
        if ((value >> i) & 1)
            bytes[bit / 8] |= uchar(0x80u >> (bit % 8));
    }
}

} // namespace

QByteArray Bz2BlockDecoder::block_stream(const QByteArray &raw, int first_bit, qint64 bit_count,
                                         int level, bool with_end, quint32 crc)
{
    const qint64 total_bits = 32 + bit_count + (with_end ? 80 : 0);
    QByteArray stream(int((total_bits + 7) / 8), '\0');
    uchar *out = reinterpret_cast<uchar *>(stream.data());
    out[0] = 'B';
    out[1] = 'Z';
    out[2] = 'h';
    out[3] = uchar('0' + level);
    const uchar *in = reinterpret_cast<const uchar *>(raw.constData());
    const qint64 in_size = raw.size();
    const qint64 whole = (bit_count + 7) / 8;
    if (first_bit == 0) {
        std::memcpy(out + 4, in, size_t(whole));
    } else {
        const int back = 8 - first_bit;
        for (qint64 j = 0; j < whole; ++j) {
            const uint next = j + 1 < in_size ? in[j + 1] : 0;
            out[4 + j] = uchar(uint(in[j]) << first_bit | next >> back);
        }
    }
    if (bit_count % 8)
        out[4 + whole - 1] &= uchar(0xff00u >> (bit_count % 8));
    if (with_end) {
        put_bits(out, 32 + bit_count, BZ2_END_MAGIC, 48);
        put_bits(out, 32 + bit_count + 48, crc, 32);
    }
    return stream;
}

Bz2BlockDecoder::~Bz2BlockDecoder()
{
    for (const Allocation &allocation : allocations)
        std::free(allocation.memory);
}

void *Bz2BlockDecoder::allocate(void *self, int count, int size)
{
    auto &allocations = static_cast<Bz2BlockDecoder *>(self)->allocations;
    const size_t bytes = size_t(count) * size_t(size);
    for (Allocation &allocation : allocations) {
        if (!allocation.in_use && allocation.size == bytes) {
            allocation.in_use = true;
            return allocation.memory;
        }
    }
    void *memory = std::malloc(bytes);
    if (memory)
        allocations.push_back({memory, bytes, true});
    return memory;
}

void Bz2BlockDecoder::release(void *self, void *memory)
{
    auto &allocations = static_cast<Bz2BlockDecoder *>(self)->allocations;
    for (Allocation &allocation : allocations) {
        if (allocation.memory == memory)
            allocation.in_use = false;
    }
    // Tables of another block size are not kept beyond a few.
    while (allocations.size() > 4) {
        auto unused = std::find_if(allocations.begin(), allocations.end(),
                                   [](const Allocation &allocation) { return !allocation.in_use; });
        if (unused == allocations.end())
            break;
        std::free(unused->memory);
        allocations.erase(unused);
    }
}

int Bz2BlockDecoder::decode(const QByteArray &stream,
                            const std::function<bool(QByteArray &)> &consume, qint64 *consumed)
{
    bz_stream bz;
    std::memset(&bz, 0, sizeof(bz));
    bz.bzalloc = allocate;
    bz.bzfree = release;
    bz.opaque = this;
    if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK)
        return BZ_MEM_ERROR;
    bz.next_in = const_cast<char *>(stream.constData());
    bz.avail_in = unsigned(stream.size());
    QByteArray chunk;
    int used = 0;
    int result = COMPLETE;
    for (;;) {
        if (chunk.size() != CHUNK_SIZE)
            chunk.resize(CHUNK_SIZE);
        bz.next_out = chunk.data() + used;
        bz.avail_out = unsigned(CHUNK_SIZE - used);
        const unsigned int in_before = bz.avail_in;
        const int used_before = used;
        const int status = BZ2_bzDecompress(&bz);
        used = CHUNK_SIZE - int(bz.avail_out);
        if (status == BZ_STREAM_END) {
            // Any byte left over means the block ended before the range did.
            result = bz.avail_in == 0 ? COMPLETE : BZ_DATA_ERROR;
            if (result == COMPLETE && used > 0) {
                chunk.resize(used);
                if (!consume(chunk))
                    result = STOPPED;
            }
            break;
        }
        if (status != BZ_OK) {
            result = status;
            break;
        }
        if (used == CHUNK_SIZE) {
            if (!consume(chunk)) {
                result = STOPPED;
                break;
            }
            used = 0;
        } else if (bz.avail_in == 0 || (bz.avail_in == in_before && used == used_before)) {
            result = NEEDS_INPUT;
            break;
        }
    }
    if (consumed)
        *consumed = qint64(bz.total_in_hi32) << 32 | bz.total_in_lo32;
    BZ2_bzDecompressEnd(&bz);
    return result;
}
