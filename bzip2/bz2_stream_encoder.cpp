#include "bz2_stream_encoder.h"

#include "bz2_bit_writer.h"
#include "bz2_crc.h"
#include "bz2_format.h"

namespace {

// A block is closed once it holds this much: the longest run adds 5 bytes,
// which keeps it within the 900 000 bytes a decoder accepts.
constexpr size_t BLOCK_FILL = size_t(BZ2_STREAM_LEVEL) * 100000 - 19;
constexpr int LONGEST_RUN = 255;

} // namespace

QByteArray Bz2StreamEncoder::encode(const char *data, size_t size)
{
    QByteArray out;
    out.reserve(int(qMin<size_t>(size / 2 + 64, 1 << 20)));
    Bz2BitWriter writer(&out);
    writer.put(24, quint32('B') << 16 | quint32('Z') << 8 | quint32('h'));
    writer.put(8, quint32('0' + BZ2_STREAM_LEVEL));
    std::vector<quint32> crcs;
    if (!write_blocks(reinterpret_cast<const uchar *>(data), size, &writer, &crcs))
        return QByteArray();
    quint32 combined = 0;
    for (const quint32 crc : crcs)
        combined = (combined << 1 | combined >> 31) ^ crc;
    writer.put48(BZ2_END_MAGIC);
    writer.put(32, combined);
    writer.finish();
    return out;
}

Bz2EncodedBlocks Bz2StreamEncoder::encode_blocks(const char *data, size_t size)
{
    Bz2EncodedBlocks result;
    result.bytes.reserve(int(qMin<size_t>(size / 2 + 64, 1 << 20)));
    Bz2BitWriter writer(&result.bytes);
    result.ok = write_blocks(reinterpret_cast<const uchar *>(data), size, &writer, &result.crcs);
    result.bits = writer.bit_count();
    writer.finish();
    return result;
}

bool Bz2StreamEncoder::write_blocks(const uchar *input, size_t size, Bz2BitWriter *writer,
                                    std::vector<quint32> *crcs)
{
    block.resize(BLOCK_FILL + 5);
    size_t at = 0;
    while (at < size) {
        const size_t start = at;
        size_t filled = 0;
        while (at < size && filled < BLOCK_FILL) {
            const uchar c = input[at];
            int run = 1;
            while (run < LONGEST_RUN && at + size_t(run) < size && input[at + size_t(run)] == c)
                ++run;
            at += size_t(run);
            if (run < 4) {
                for (int i = 0; i < run; ++i)
                    block[filled++] = c;
                continue;
            }
            for (int i = 0; i < 4; ++i)
                block[filled++] = c;
            block[filled++] = uchar(run - 4);
        }
        const quint32 crc = Bz2Crc::of(input + start, at - start);
        if (!blocks.encode(block.data(), int(filled), crc, writer))
            return false;
        crcs->push_back(crc);
    }
    return true;
}
