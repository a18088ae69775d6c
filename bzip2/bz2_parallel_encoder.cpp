#include "bz2_parallel_encoder.h"

#include "bz2_stream_encoder.h"

#include <QThreadPool>
#include <QThreadStorage>

#include <condition_variable>
#include <mutex>

namespace {

// Input per piece compressed on its own: a little under the 900 000 bytes
// of one `-9` block, so a piece is usually exactly one block.
constexpr int BLOCK_INPUT = 899000;
// An input smaller than a few blocks is cut into this many pieces (none
// below SMALLEST_PIECE), smaller blocks of the same stream, so that the
// launcher decodes its parts on several cores at once instead of one block
// on one core; the archive grows by a percent or two.
constexpr qint64 PIECES_PER_FILE = 4;
constexpr qint64 SMALLEST_PIECE = 128 * 1024;

int piece_input(qint64 input_size)
{
    return int(qBound<qint64>(SMALLEST_PIECE, (input_size + PIECES_PER_FILE - 1) / PIECES_PER_FILE,
                              BLOCK_INPUT));
}
// Blocks in flight per pool thread: enough to keep every thread busy while
// the reader hashes and the writer writes.
constexpr int BLOCKS_PER_THREAD = 3;

// The bzip2 blocks of one piece. Each pool thread keeps its encoder, and
// with it the buffers of a block's sort.
// Kept in Qt's storage rather than as a thread_local object: Qt deletes it
// as the pool thread ends, while the thread still runs normally, whereas
// MinGW's runtime destroys thread_local objects at thread exit in an order
// with its own per-thread storage that has crashed and hung pool threads.
QThreadStorage<Bz2StreamEncoder *> encoders;

Bz2EncodedBlocks compress_piece(const QByteArray &data)
{
    if (!encoders.hasLocalData())
        encoders.setLocalData(new Bz2StreamEncoder);
    return encoders.localData()->encode_blocks(data.constData(), size_t(data.size()));
}

} // namespace

// One piece on its way through the pool. The writer waits on it rather than
// on a QFuture, which would run a queued piece on the waiting thread and so
// compress on more threads than the pool has.
class Bz2ParallelEncoder::PendingPiece
{
public:
    explicit PendingPiece(QByteArray input) : input(std::move(input)) { }

    void compress()
    {
        Bz2EncodedBlocks result = compress_piece(input);
        std::lock_guard<std::mutex> lock(mutex);
        output = std::move(result);
        done = true;
        finished.notify_all();
    }
    Bz2EncodedBlocks wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        finished.wait(lock, [this] { return done; });
        return output;
    }

private:
    const QByteArray input;
    Bz2EncodedBlocks output;
    bool done = false;
    std::mutex mutex;
    std::condition_variable finished;
};

Bz2ParallelEncoder::Bz2ParallelEncoder(QIODevice *device, QThreadPool *pool, qint64 input_size)
    : pool(pool)
    , piece(piece_input(input_size))
    , window(size_t(qMax(1, pool->maxThreadCount()) * BLOCKS_PER_THREAD))
    , stream(device)
{
    written = stream.begin();
}

Bz2ParallelEncoder::~Bz2ParallelEncoder()
{
    // The pool must not outlive what its pieces write into.
    for (const auto &waiting : pending)
        waiting->wait();
}

// Writes the oldest piece, waiting for it if need be.
void Bz2ParallelEncoder::write_oldest()
{
    const Bz2EncodedBlocks blocks = pending.front()->wait();
    pending.pop_front();
    written = written && blocks.ok && stream.append(blocks);
}

bool Bz2ParallelEncoder::add(const QByteArray &data)
{
    auto next = std::make_shared<PendingPiece>(data);
    pool->start([next] { next->compress(); });
    pending.push_back(next);
    while (pending.size() >= window)
        write_oldest();
    return written;
}

bool Bz2ParallelEncoder::finish()
{
    while (!pending.empty())
        write_oldest();
    written = written && stream.finish(); // an empty input still gets an (empty) stream
    return written;
}
