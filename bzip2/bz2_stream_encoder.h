#pragma once

#include "bz2_block_encoder.h"
#include "bz2_encoded_blocks.h"

#include <QByteArray>

#include <vector>

class Bz2BitWriter;

// Compresses bytes into bzip2 blocks at block size 9 (as `bzip2 -9`): runs
// of four to 255 equal bytes are shortened first, then the result is cut into
// blocks of at most 900 000 bytes. encode() makes one complete stream;
// encode_blocks() only the blocks, for Bz2StreamWriter to join with blocks
// compressed elsewhere into one stream. `bunzip2`, libbzip2 and the
// launcher's decoders read the result. The buffers are kept from call to
// call, so one encoder per thread serves many blocks.
class Bz2StreamEncoder
{
public:
    // Empty on failure (out of memory).
    QByteArray encode(const char *data, size_t size);
    // No blocks at all for size 0.
    Bz2EncodedBlocks encode_blocks(const char *data, size_t size);

private:
    bool write_blocks(const uchar *input, size_t size, Bz2BitWriter *writer,
                      std::vector<quint32> *crcs);

    Bz2BlockEncoder blocks;
    std::vector<uchar> block;
};
