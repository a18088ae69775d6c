#include "bz2_compress.h"

#include "bz2_stream_encoder.h"
#include "hash_text.h"

#include <QByteArray>
#include <QFile>
#include <QThreadPool>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>

namespace {

// Input per stream: a little under the 900 000 bytes of one `-9` block, so
// a block's worth of input is usually exactly one block.
constexpr int BLOCK_INPUT = 899000;
// A file smaller than a few blocks is cut into this many streams (none below
// SMALLEST_STREAM), so that the launcher decodes its parts on several cores
// at once instead of one block on one core; the archive grows by a percent or
// two.
constexpr qint64 STREAMS_PER_FILE = 4;
constexpr qint64 SMALLEST_STREAM = 128 * 1024;

int stream_input(qint64 file_size)
{
    return int(qBound<qint64>(SMALLEST_STREAM,
                              (file_size + STREAMS_PER_FILE - 1) / STREAMS_PER_FILE, BLOCK_INPUT));
}
// Blocks in flight per pool thread: enough to keep every thread busy while
// the reader hashes and the writer writes.
constexpr int BLOCKS_PER_THREAD = 3;

// One complete bzip2 stream of data; empty on failure. Each pool thread
// keeps its encoder, and with it the buffers of a block's sort.
QByteArray compress_block(const QByteArray &data)
{
    thread_local Bz2StreamEncoder encoder;
    return encoder.encode(data.constData(), size_t(data.size()));
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
        QByteArray result = compress_block(input);
        std::lock_guard<std::mutex> lock(mutex);
        output = std::move(result);
        done = true;
        finished.notify_all();
    }
    QByteArray wait()
    {
        std::unique_lock<std::mutex> lock(mutex);
        finished.wait(lock, [this] { return done; });
        return output;
    }

private:
    const QByteArray input;
    QByteArray output;
    bool done = false;
    std::mutex mutex;
    std::condition_variable finished;
};

} // namespace

bool bz2_compress_file(const QString &source, const QString &target, QThreadPool *pool,
                       CompressedFile *result, QString *error)
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
    std::deque<std::shared_ptr<PendingBlock>> pending;
    const size_t window = size_t(qMax(1, pool->maxThreadCount()) * BLOCKS_PER_THREAD);
    bool written = true;
    // Writes the oldest block, waiting for it if need be.
    auto write_oldest = [&] {
        const QByteArray block = pending.front()->wait();
        pending.pop_front();
        written = written && !block.isEmpty() && out.write(block) == block.size();
    };
    result->size = 0;
    bool first = true;
    const int block_input = stream_input(in.size());
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
            break; // an empty file still gets one (empty) stream
        first = false;
        block.truncate(int(count));
        digest.add(block.constData(), size_t(count));
        result->size += count;
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
