#pragma once

#include "bz2_block_decoder.h"

#include <QByteArray>
#include <QtGlobal>

#include <vector>

// One candidate bzip2 block: the bits [start_bit, end_bit) of the input,
// decoded by a worker as a stream of its own. The planning fields are set
// before the task is queued and then only read; the result fields belong to
// the worker pool's lock.
struct Bz2BlockTask
{
    qint64 start_bit = 0;
    qint64 end_bit = 0;
    int level = 9; // the stream's block size digit
    // No magic was found within the longest block's reach (or before the end
    // of the input): the range cannot be extended, and a failure is final.
    bool open_end = false;
    bool ends_at_input_end = false;
    QByteArray raw; // input bytes from start_bit / 8 through the one holding end_bit - 1
    quint32 crc = 0; // the CRC stored in the block header

    bool done = false;
    Bz2BlockDecoder::Result result;
    bool head = false; // its output is the next to be written: never held back
    bool cancelled = false;
    bool overflowed = false; // output too large to keep: decoded again when written
    std::vector<QByteArray> chunks;
    qint64 kept = 0;
};
