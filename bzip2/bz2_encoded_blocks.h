#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <vector>

// The block size level our streams are written at, as `bzip2 -9`: a block
// holds at most 900 000 bytes (fewer is allowed, and used for small files).
constexpr int BZ2_STREAM_LEVEL = 9;

// A run of bzip2 blocks compressed on their own, to be joined into a stream
// (see Bz2StreamWriter): the first `bits` bits of bytes hold them, and crcs
// the block CRC of each, in order.
struct Bz2EncodedBlocks
{
    bool ok = false; // false: the blocks could not be made (out of memory)
    QByteArray bytes;
    qint64 bits = 0;
    std::vector<quint32> crcs;
};
