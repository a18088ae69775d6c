// Arbitrary input for the parallel bzip2 decoder and the one for archives
// held in memory, compared with libbzip2 decoding the same bytes in one pass.
// Holds: no crash, no sanitizer report, the same outcome, and on success
// the same output; the same again when the input arrives in small pieces.
#include "fuzz_sandbox.h"

#include "bz2_reference.h"
#include "byte_sink.h"
#include "byte_source.h"
#include "parallel_bz2_decoder.h"
#include "sequential_bz2_decoder.h"

#include <bzlib.h>

#include <cstdint>
#include <cstring>

namespace {

// Outputs beyond this are not compared (the reference holds them in memory).
constexpr qint64 OUTPUT_LIMIT = 64 << 20;

class PieceSource : public ByteSource
{
public:
    PieceSource(const QByteArray &data, qint64 piece) : data(data), piece(piece) { }
    qint64 read(char *out, qint64 max) override
    {
        const qint64 count = qMin(qMin(max, piece), qint64(data.size()) - position);
        std::memcpy(out, data.constData() + position, size_t(count));
        position += count;
        return count;
    }

private:
    const QByteArray &data;
    const qint64 piece;
    qint64 position = 0;
};

class BufferSink : public ByteSink
{
public:
    bool write(const char *data, qint64 size) override
    {
        bytes.append(data, int(size));
        return true;
    }
    QByteArray bytes;
};

// piece 0: the decoder for archives in memory.
void compare(const QByteArray &input, const Bz2Reference &reference, qint64 piece)
{
    PieceSource source(input, piece);
    BufferSink sink;
    const Bz2DecodeResult result = piece == 0
        ? SequentialBz2Decoder::decode(input, sink, OUTPUT_LIMIT)
        : ParallelBz2Decoder(2).decode(source, sink, OUTPUT_LIMIT);
    if (reference.code == BZ_OUTBUFF_FULL) {
        if (result.status != Bz2Status::Ok && result.status != Bz2Status::OutputTooLarge &&
            result.status != Bz2Status::Damaged && result.status != Bz2Status::CutShort)
            fuzz_fail("an unexpected code for a large output");
        return;
    }
    const int code = bz2_library_code(result.status);
    if (code != reference.code) {
        std::fprintf(stderr, "decoder %d, libbzip2 %d, piece %lld\n", code, reference.code, piece);
        fuzz_fail("the decoder and libbzip2 disagree on the outcome");
    }
    if (code == 0 && sink.bytes != reference.output)
        fuzz_fail("the decoder and libbzip2 disagree on the output");
    if (result.output_bytes != sink.bytes.size())
        fuzz_fail("the output count is wrong");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const Bz2Reference reference = bz2_reference_decode(input, OUTPUT_LIMIT);
    compare(input, reference, 1 << 20);
    compare(input, reference, qint64(size % 13) + 1);
    compare(input, reference, 0);
    return 0;
}
