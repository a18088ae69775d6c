#pragma once

#include "bz2_status.h"

#include <QThread>

class ByteSource;
class ByteSink;

// Decodes bzip2 data on several threads. The blocks of a bzip2 stream are
// independent: the decoder finds their bit-aligned boundaries as the input
// arrives, decodes the blocks on private worker threads and hands the output
// to the sink in order, on the calling thread, with a bounded window of blocks
// in flight. The result (bytes, success or failure and which) is what
// libbzip2 decoding the input sequentially gives: concatenated streams decode
// as one output, and bytes after a complete stream that do not begin a new
// stream are ignored (and not read).
class ParallelBz2Decoder
{
public:
    explicit ParallelBz2Decoder(int threads = QThread::idealThreadCount());

    // Decodes everything the source gives into the sink. output_limit < 0: no
    // limit; otherwise decoding stops with OutputTooLarge as soon as the
    // output would exceed it, after writing exactly output_limit bytes.
    Bz2DecodeResult decode(ByteSource &source, ByteSink &sink, qint64 output_limit = -1);

private:
    int threads;
};
