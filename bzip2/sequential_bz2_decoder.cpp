#include "sequential_bz2_decoder.h"

#include "bz2_bit_reader.h"
#include "bz2_fast_block_decoder.h"
#include "bz2_format.h"
#include "bz2_limited_output.h"

#include <QThreadStorage>

#include <bzlib.h>

#include <cstring>

namespace {

constexpr int OUTPUT_CHUNK = 64 * 1024;

// Each thread's fast decoder, in Qt's storage rather than thread_local (see
// compress_piece in bz2_parallel_encoder.cpp).
QThreadStorage<Bz2FastBlockDecoder *> decoders;

quint64 bits_at(const QByteArray &data, qint64 bit, int count)
{
    return Bz2BitReader::bits_at(reinterpret_cast<const uchar *>(data.constData()), data.size(),
                                 bit, count);
}

// Where the end-of-stream marker of an input that is exactly one stream
// begins (its padding is under a byte), or -1.
qint64 end_marker(const QByteArray &input)
{
    for (int pad = 0; pad < 8; ++pad) {
        const qint64 bit = qint64(input.size()) * 8 - pad - 80;
        if (bit >= 32 && bits_at(input, bit, 48) == BZ2_END_MAGIC)
            return bit;
    }
    return -1;
}

// The common case, a stream of one block and nothing after it, goes through
// the fast block decoder; false when it declines (nothing was delivered).
bool decode_one_block(const QByteArray &input, Bz2LimitedOutput &output)
{
    if (input.size() < 4 + 10 + 10 || !input.startsWith("BZh") || input[3] < '1' ||
        input[3] > '9' || bits_at(input, 32, 48) != BZ2_BLOCK_MAGIC)
        return false;
    const qint64 end = end_marker(input);
    // One block: the stream's combined CRC is the block's own.
    if (end < 0 || bits_at(input, end + 48, 32) != bits_at(input, 32 + 48, 32))
        return false;
    if (!decoders.hasLocalData())
        decoders.setLocalData(new Bz2FastBlockDecoder);
    Bz2FastBlockDecoder &decoder = *decoders.localData();
    const auto consume = [&](QByteArray &chunk) {
        return output.write(chunk.constData(), chunk.size());
    };
    return decoder.decode(input.mid(4), 0, end - 32, input[3] - '0', consume) !=
        Bz2FastBlockDecoder::Result::Declined;
}

} // namespace

// Concatenated streams make one output; bytes after a complete stream that
// do not begin another one are ignored; input that ends inside a stream (or
// no input at all) is CutShort.
Bz2DecodeResult SequentialBz2Decoder::decode(const QByteArray &input, ByteSink &sink,
                                             qint64 output_limit)
{
    Bz2LimitedOutput output(sink, output_limit);
    const auto result = [&output](Bz2Status status) {
        return Bz2DecodeResult{status, output.written()};
    };
    if (decode_one_block(input, output))
        return result(output.status());
    char buffer[OUTPUT_CHUNK];
    qint64 position = 0;
    for (bool first = true; first || position < input.size(); first = false) {
        bz_stream stream;
        std::memset(&stream, 0, sizeof(stream));
        if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK)
            return result(Bz2Status::OutOfMemory);
        stream.next_in = const_cast<char *>(input.constData() + position);
        stream.avail_in = unsigned(input.size() - position);
        int status = BZ_OK;
        while (status == BZ_OK) {
            stream.next_out = buffer;
            stream.avail_out = sizeof(buffer);
            status = BZ2_bzDecompress(&stream);
            const qint64 produced = qint64(sizeof(buffer) - stream.avail_out);
            if ((status == BZ_OK || status == BZ_STREAM_END) && !output.write(buffer, produced)) {
                BZ2_bzDecompressEnd(&stream);
                return result(output.status());
            }
            if (status == BZ_OK && stream.avail_in == 0 && stream.avail_out > 0)
                status = BZ_UNEXPECTED_EOF;
        }
        position = input.size() - stream.avail_in;
        BZ2_bzDecompressEnd(&stream);
        if (status == BZ_DATA_ERROR_MAGIC && !first)
            break; // trailing bytes that are not a stream
        if (status != BZ_STREAM_END)
            return result(bz2_status_of_library_code(status));
    }
    return result(Bz2Status::Ok);
}
