#pragma once

#include "bz2_block_encoder.h"

#include <QByteArray>

#include <vector>

// Compresses bytes into one complete bzip2 stream at block size 9 (as
// `bzip2 -9`): runs of four to 255 equal bytes are shortened first, then the
// result is cut into blocks of at most 900 000 bytes. `bunzip2`, libbzip2 and
// the launcher's decoders read it. The buffers are kept from call to call,
// so one encoder per thread serves many blocks.
class Bz2StreamEncoder
{
public:
    // Empty on failure (out of memory).
    QByteArray encode(const char *data, size_t size);

private:
    Bz2BlockEncoder blocks;
    std::vector<uchar> block;
};
