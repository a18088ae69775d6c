#pragma once

#include "bz2_stream_writer.h"

#include <QByteArray>

#include <deque>
#include <memory>

class QIODevice;
class QThreadPool;

// Compresses one input into one bzip2 stream on a thread pool: the input
// comes in pieces of piece_size() bytes, each piece is compressed on the pool
// into blocks of its own, and the blocks are joined in order into the stream
// (Bz2StreamWriter). At most a few pieces per pool thread are in memory at
// once, so memory does not depend on the input. Several encoders may share a
// pool.
class Bz2ParallelEncoder
{
public:
    // `input_size`: how many bytes will come, which sets the piece size (a
    // small input is cut into a few smaller blocks, so that its decoding can
    // use several cores).
    Bz2ParallelEncoder(QIODevice *device, QThreadPool *pool, qint64 input_size);
    ~Bz2ParallelEncoder(); // waits for the pieces still on the pool
    Bz2ParallelEncoder(const Bz2ParallelEncoder &) = delete;
    Bz2ParallelEncoder &operator=(const Bz2ParallelEncoder &) = delete;

    int piece_size() const { return piece; }
    // Compresses the next piece (at most piece_size() bytes), writing older
    // pieces as they are done. False once a write has failed.
    bool add(const QByteArray &data);
    // Writes every piece and ends the stream; false when any write failed.
    bool finish();

private:
    class PendingPiece;

    void write_oldest();

    QThreadPool *const pool;
    const int piece;
    const size_t window;
    Bz2StreamWriter stream;
    std::deque<std::shared_ptr<PendingPiece>> pending;
    bool written = false;
};
