#include "parallel_bz2_decoder.h"

#include "bz2_decode_run.h"

ParallelBz2Decoder::ParallelBz2Decoder(int threads) : threads(qMax(1, threads)) { }

Bz2DecodeResult ParallelBz2Decoder::decode(ByteSource &source, ByteSink &sink, qint64 output_limit)
{
    Bz2DecodeRun run(source, sink, output_limit, threads);
    return run.run();
}
