#include "bz2_block_decoder.h"

#include "bz2_bit_writer.h"
#include "bz2_format.h"

#include <bzlib.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

QByteArray Bz2BlockDecoder::block_stream(const QByteArray &raw, int first_bit, qint64 bit_count,
                                         int level, bool with_end, quint32 crc)
{
    QByteArray stream;
    stream.reserve(int(4 + (bit_count + 7) / 8 + (with_end ? 10 : 0)));
    Bz2BitWriter bits(&stream);
    bits.put(24, quint32('B') << 16 | quint32('Z') << 8 | quint32('h'));
    bits.put(8, quint32('0' + level));
    bits.append(reinterpret_cast<const uchar *>(raw.constData()), first_bit, bit_count);
    if (with_end) {
        bits.put48(BZ2_END_MAGIC);
        bits.put(32, crc);
    }
    bits.finish();
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

Bz2BlockDecoder::Result Bz2BlockDecoder::decode(const QByteArray &stream,
                                                const std::function<bool(QByteArray &)> &consume)
{
    using End = Result::End;
    Result result;
    const auto fail = [&result](Bz2Status failure) {
        result.end = End::Failed;
        result.failure = failure;
    };
    bz_stream bz;
    std::memset(&bz, 0, sizeof(bz));
    bz.bzalloc = allocate;
    bz.bzfree = release;
    bz.opaque = this;
    if (BZ2_bzDecompressInit(&bz, 0, 0) != BZ_OK) {
        fail(Bz2Status::OutOfMemory);
        return result;
    }
    bz.next_in = const_cast<char *>(stream.constData());
    bz.avail_in = unsigned(stream.size());
    QByteArray chunk;
    int used = 0;
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
            if (bz.avail_in != 0) {
                fail(Bz2Status::Damaged);
            } else if (used > 0) {
                chunk.resize(used);
                if (!consume(chunk))
                    result.end = End::Stopped;
            }
            break;
        }
        if (status != BZ_OK) {
            fail(bz2_status_of_library_code(status));
            break;
        }
        if (used == CHUNK_SIZE) {
            if (!consume(chunk)) {
                result.end = End::Stopped;
                break;
            }
            used = 0;
        } else if (bz.avail_in == 0 || (bz.avail_in == in_before && used == used_before)) {
            result.end = End::NeedsInput;
            break;
        }
    }
    result.consumed = qint64(bz.total_in_hi32) << 32 | bz.total_in_lo32;
    BZ2_bzDecompressEnd(&bz);
    return result;
}
