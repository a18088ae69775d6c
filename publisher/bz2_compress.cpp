#include "bz2_compress.h"

#include "bz2_stream_encoder.h"
#include "bz2_stream_writer.h"
#include "hash_text.h"

#include <QByteArray>
#include <QFile>
#include <QThreadPool>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace {

// Input per piece compressed on its own: a little under the 900 000 bytes
// of one `-9` block, so a piece is usually exactly one block.
constexpr int BLOCK_INPUT = 899000;
// A file smaller than a few blocks is cut into this many pieces (none below
// SMALLEST_PIECE), smaller blocks of the same stream, so that the launcher
// decodes its parts on several cores at once instead of one block on one
// core; the archive grows by a percent or two.
constexpr qint64 PIECES_PER_FILE = 4;
constexpr qint64 SMALLEST_PIECE = 128 * 1024;

int piece_input(qint64 file_size)
{
    return int(qBound<qint64>(SMALLEST_PIECE, (file_size + PIECES_PER_FILE - 1) / PIECES_PER_FILE,
                              BLOCK_INPUT));
}
// Blocks in flight per pool thread: enough to keep every thread busy while
// the reader hashes and the writer writes.
constexpr int BLOCKS_PER_THREAD = 3;

// The bzip2 blocks of one piece. Each pool thread keeps its encoder, and
// with it the buffers of a block's sort.
Bz2EncodedBlocks compress_piece(const QByteArray &data)
{
    thread_local Bz2StreamEncoder encoder;
    return encoder.encode_blocks(data.constData(), size_t(data.size()));
}

// One block on its way through the pool. The reader waits on it rather than
// on a QFuture, which would run a queued block on the waiting thread and so
// compress on more threads than the pool has.
class PendingBlock
{
public:
    explicit PendingBlock(QByteArray input) : input(std::move(input)) { }

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

} // namespace

bool bz2_compress_file(const QString &source, const QString &target, QThreadPool *pool,
                       CompressedFile *result, QString *error, std::atomic<qint64> *bytes_read)
{
    QFile in(source);
    QFile out(target);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(source, in.errorString());
        return false;
    }
    if (!out.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1: %2").arg(target, out.errorString());
        return false;
    }
    HashTextDigest digest;
    Bz2StreamWriter stream(&out);
    bool written = stream.begin();
    std::deque<std::shared_ptr<PendingBlock>> pending;
    const size_t window = size_t(qMax(1, pool->maxThreadCount()) * BLOCKS_PER_THREAD);
    // Writes the oldest block, waiting for it if need be.
    auto write_oldest = [&] {
        const Bz2EncodedBlocks blocks = pending.front()->wait();
        pending.pop_front();
        written = written && blocks.ok && stream.append(blocks);
    };
    result->size = 0;
    bool first = true;
    const int block_input = piece_input(in.size());
    for (;;) {
        QByteArray block(block_input, Qt::Uninitialized);
        const qint64 count = in.read(block.data(), block_input);
        if (count < 0) {
            *error = QStringLiteral("cannot read %1: %2").arg(source, in.errorString());
            while (!pending.empty())
                write_oldest(); // the pool must not outlive the blocks' owner
            return false;
        }
        if (count == 0 && !first)
            break;
        first = false;
        block.truncate(int(count));
        digest.add(block.constData(), size_t(count));
        result->size += count;
        if (bytes_read)
            *bytes_read += count;
        auto next = std::make_shared<PendingBlock>(block);
        pool->start([next] { next->compress(); });
        pending.push_back(next);
        while (pending.size() >= window)
            write_oldest();
        if (count < block_input && in.atEnd())
            break;
    }
    while (!pending.empty())
        write_oldest();
    written = written && stream.finish(); // an empty file still gets an (empty) stream
    if (!written || !out.flush()) {
        *error =
            QStringLiteral("cannot compress %1 into %2: %3").arg(source, target, out.errorString());
        return false;
    }
    result->hash = digest.finish();
    if (result->hash.isEmpty()) {
        *error = QStringLiteral("cannot hash %1").arg(source);
        return false;
    }
    return true;
}
