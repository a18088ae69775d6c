#pragma once

#include "bz2_bit_writer.h"
#include "bz2_encoded_blocks.h"

#include <QByteArray>

class QIODevice;

// Writes one bzip2 stream to a device from runs of blocks that were
// compressed apart (in parallel), in order: the header, every block joined
// to the one before at the bit level (a block ends anywhere within a byte),
// then the end of stream with the combined CRC of all blocks. A reader that
// stops at the first end of stream gets all of it. Whole bytes go to the
// device as they are made, so memory does not grow with the stream.
class Bz2StreamWriter
{
public:
    explicit Bz2StreamWriter(QIODevice *device);

    // Each returns false once a write to the device has failed.
    bool begin();
    bool append(const Bz2EncodedBlocks &blocks);
    bool finish();

private:
    bool flush();

    QIODevice *const device;
    QByteArray pending;
    Bz2BitWriter bits;
    quint32 combined = 0;
    bool failed = false;
};
