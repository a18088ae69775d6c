#include "bz2_reference.h"

#include <bzlib.h>

namespace {

// One stream at the start of input, by BZ2_bzBuffToBuffDecompress into an
// output that grows up to limit bytes (more is BZ_OUTBUFF_FULL).
int decode_stream(const QByteArray &input, qint64 limit, QByteArray *output)
{
    qint64 room = qMin<qint64>(qMax<qint64>(qint64(input.size()) * 8, 1 << 16), limit);
    for (;;) {
        output->resize(int(room));
        unsigned int size = unsigned(room);
        const int code = BZ2_bzBuffToBuffDecompress(output->data(), &size,
                                                    const_cast<char *>(input.constData()),
                                                    unsigned(input.size()), 0, 0);
        if (code == BZ_OUTBUFF_FULL && room < limit) {
            room = qMin(room * 4, limit);
            continue;
        }
        output->resize(code == BZ_OK ? int(size) : 0);
        return code;
    }
}

// The length of the stream that decodes at the start of input: the shortest
// prefix that libbzip2 decodes whole. Decoding reads bytes in order, so a
// prefix that ends at an end-of-stream marker found by chance inside the
// data falls short of a stream end and fails.
int stream_length(const QByteArray &input)
{
    constexpr quint64 END_MAGIC = 0x177245385090ULL;
    constexpr quint64 MASK = (quint64(1) << 48) - 1;
    quint64 window = 0;
    QByteArray scratch;
    for (qint64 bit = 0; bit < qint64(input.size()) * 8; ++bit) {
        window = window << 1 | ((uchar(input[int(bit / 8)]) >> (7 - bit % 8)) & 1);
        const qint64 start = bit - 47;
        if (start < 32 || (window & MASK) != END_MAGIC)
            continue;
        const int length = int((start + 80 + 7) / 8);
        if (length <= input.size() &&
            decode_stream(input.left(length), qint64(1) << 30, &scratch) == BZ_OK)
            return length;
    }
    return input.size();
}

} // namespace

Bz2Reference bz2_reference_decode(const QByteArray &input, qint64 output_limit)
{
    Bz2Reference result;
    int position = 0;
    for (bool first = true; first || position < input.size(); first = false) {
        const QByteArray rest = input.mid(position);
        QByteArray output;
        const int code = decode_stream(rest, output_limit - result.output.size(), &output);
        if (code == BZ_DATA_ERROR_MAGIC && !first)
            break; // trailing bytes
        if (code != BZ_OK) {
            result.code = code;
            break;
        }
        result.output += output;
        position += stream_length(rest);
    }
    return result;
}

// libbzip2's code for an outcome of ours, to compare with the oracle's.
int bz2_library_code(Bz2Status status)
{
    switch (status) {
    case Bz2Status::Ok:
        return BZ_OK;
    case Bz2Status::NotBzip2:
        return BZ_DATA_ERROR_MAGIC;
    case Bz2Status::Damaged:
        return BZ_DATA_ERROR;
    case Bz2Status::CutShort:
        return BZ_UNEXPECTED_EOF;
    case Bz2Status::SourceFailed:
        return BZ_IO_ERROR;
    case Bz2Status::OutOfMemory:
        return BZ_MEM_ERROR;
    case Bz2Status::SinkRefused:
    case Bz2Status::OutputTooLarge:
        break;
    }
    return 1; // no libbzip2 code
}
