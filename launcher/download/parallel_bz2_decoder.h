#pragma once

#include <QThread>

class ByteSource;
class ByteSink;

// Outcome of one decode: code 0 on success; otherwise a negative libbzip2
// code (BZ_DATA_ERROR_MAGIC -5 for input that is not bzip2, BZ_DATA_ERROR -4
// for a damaged stream, BZ_UNEXPECTED_EOF -7 for input cut short or empty,
// BZ_IO_ERROR -6 for a failed source, BZ_MEM_ERROR -3), 904 when the sink
// refused bytes, or BZ2_OUTPUT_TOO_LARGE. output_bytes counts what the sink
// accepted.
struct Bz2DecodeResult
{
    int code = 0;
    qint64 output_bytes = 0;
};

constexpr int BZ2_OUTPUT_TOO_LARGE = 906;

// Decodes bzip2 data on several threads. The blocks of a bzip2 stream are
// independent: the decoder finds their bit-aligned boundaries as the input
// arrives, decodes the blocks on private worker threads and hands the output
// to the sink in order, on the calling thread, with a bounded window of blocks
// in flight. The result (bytes, success or failure, error code) is what
// libbzip2 decoding the input sequentially gives: concatenated streams decode
// as one output, and bytes after a complete stream that do not begin a new
// stream are ignored (and not read).
class ParallelBz2Decoder
{
public:
    explicit ParallelBz2Decoder(int threads = QThread::idealThreadCount());

    // Decodes everything the source gives into the sink. output_limit < 0: no
    // limit; otherwise decoding stops with BZ2_OUTPUT_TOO_LARGE as soon as the
    // output would exceed it, after writing exactly output_limit bytes.
    Bz2DecodeResult decode(ByteSource &source, ByteSink &sink, qint64 output_limit = -1);

private:
    int threads;
};
