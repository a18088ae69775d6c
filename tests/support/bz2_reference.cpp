#include "bz2_reference.h"

#include <bzlib.h>

#include <cstring>

Bz2Reference bz2_reference_decode(const QByteArray &input, qint64 output_limit)
{
    Bz2Reference result;
    qint64 position = 0;
    char buffer[65536];
    for (bool first = true;; first = false) {
        if (!first && position == input.size())
            return result;
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
            result.output.append(buffer, int(sizeof(buffer) - stream.avail_out));
            if (result.output.size() > output_limit)
                status = BZ_OUTBUFF_FULL;
            else if (status == BZ_OK && stream.avail_in == 0 && stream.avail_out > 0)
                status = BZ_UNEXPECTED_EOF;
        }
        position = input.size() - stream.avail_in;
        BZ2_bzDecompressEnd(&stream);
        if (status == BZ_DATA_ERROR_MAGIC && !first)
            return result; // trailing bytes
        if (status != BZ_STREAM_END) {
            result.code = status;
            return result;
        }
    }
}
