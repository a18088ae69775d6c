#include "download/sequential_bz2_decoder.h"

#include "app/constants.h"
#include "download/byte_sink.h"

#include <bzlib.h>

#include <cstring>

namespace {

constexpr int OUTPUT_CHUNK = 64 * 1024;

// Hands size bytes to the sink within the limit; false ends the decoding
// with result.code set.
bool deliver(ByteSink &sink, const char *data, qint64 size, qint64 limit, Bz2DecodeResult &result)
{
    qint64 allowed = size;
    if (limit >= 0 && result.output_bytes + size > limit)
        allowed = limit - result.output_bytes;
    if (allowed > 0 && !sink.write(data, allowed)) {
        result.code = CODE_SHORT_WRITE;
        return false;
    }
    result.output_bytes += allowed;
    if (allowed < size) {
        result.code = BZ2_OUTPUT_TOO_LARGE;
        return false;
    }
    return true;
}

} // namespace

// Concatenated streams make one output; bytes after a complete stream that
// do not begin another one are ignored; input that ends inside a stream (or
// no input at all) is BZ_UNEXPECTED_EOF.
Bz2DecodeResult SequentialBz2Decoder::decode(const QByteArray &input, ByteSink &sink,
                                             qint64 output_limit)
{
    Bz2DecodeResult result;
    char buffer[OUTPUT_CHUNK];
    qint64 position = 0;
    for (bool first = true; first || position < input.size(); first = false) {
        bz_stream stream;
        std::memset(&stream, 0, sizeof(stream));
        if (BZ2_bzDecompressInit(&stream, 0, 0) != BZ_OK) {
            result.code = BZ_MEM_ERROR;
            return result;
        }
        stream.next_in = const_cast<char *>(input.constData() + position);
        stream.avail_in = unsigned(input.size() - position);
        int status = BZ_OK;
        while (status == BZ_OK) {
            stream.next_out = buffer;
            stream.avail_out = sizeof(buffer);
            status = BZ2_bzDecompress(&stream);
            const qint64 produced = qint64(sizeof(buffer) - stream.avail_out);
            if ((status == BZ_OK || status == BZ_STREAM_END) &&
                !deliver(sink, buffer, produced, output_limit, result)) {
                BZ2_bzDecompressEnd(&stream);
                return result;
            }
            if (status == BZ_OK && stream.avail_in == 0 && stream.avail_out > 0)
                status = BZ_UNEXPECTED_EOF;
        }
        position = input.size() - stream.avail_in;
        BZ2_bzDecompressEnd(&stream);
        if (status == BZ_DATA_ERROR_MAGIC && !first)
            return result; // trailing bytes that are not a stream
        if (status != BZ_STREAM_END) {
            result.code = status;
            return result;
        }
    }
    return result;
}
