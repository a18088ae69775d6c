#pragma once

#include "parallel_bz2_decoder.h"

#include <QByteArray>

class ByteSink;

// Decodes a whole bzip2 archive held in memory on the calling thread, one
// stream after the other, with the same outcome as ParallelBz2Decoder. For
// small archives: starting decoder threads would cost more than the work.
class SequentialBz2Decoder
{
public:
    static Bz2DecodeResult decode(const QByteArray &input, ByteSink &sink,
                                  qint64 output_limit = -1);
};
