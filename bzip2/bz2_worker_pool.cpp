#include "bz2_worker_pool.h"

#include "bz2_task_decoder.h"

namespace {

// Output held by tasks that are not the head.
constexpr qint64 HELD_BUDGET = 16 << 20;
// Output one task keeps; beyond it the task only checks its block, and the
// block is decoded again straight to the output when its turn comes.
constexpr qint64 TASK_KEEP_LIMIT = 16 << 20;

} // namespace

Bz2WorkerPool::Bz2WorkerPool(int threads) : thread_count(qMax(1, threads)) { }

Bz2WorkerPool::~Bz2WorkerPool()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    queued.notify_all();
    changed.notify_all();
    for (std::thread &worker : workers)
        worker.join();
}

void Bz2WorkerPool::submit(const std::shared_ptr<Bz2BlockTask> &task)
{
    // The threads start with the first block, so input that is not bzip2
    // costs none.
    if (workers.empty()) {
        for (int i = 0; i < thread_count; ++i)
            workers.emplace_back([this] { work(); });
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        queue.push_back(task);
    }
    queued.notify_one();
}

void Bz2WorkerPool::make_head(const std::shared_ptr<Bz2BlockTask> &task)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (task->head)
            return;
        task->head = true;
    }
    changed.notify_all();
}

bool Bz2WorkerPool::is_done(const std::shared_ptr<Bz2BlockTask> &task)
{
    std::lock_guard<std::mutex> lock(mutex);
    return task->done;
}

void Bz2WorkerPool::wait_done(const std::shared_ptr<Bz2BlockTask> &task)
{
    std::unique_lock<std::mutex> lock(mutex);
    changed.wait(lock, [&] { return task->done; });
}

std::vector<QByteArray> Bz2WorkerPool::take_output(const std::shared_ptr<Bz2BlockTask> &task)
{
    std::vector<QByteArray> output;
    {
        std::lock_guard<std::mutex> lock(mutex);
        output.swap(task->chunks);
        held -= task->kept;
        task->kept = 0;
    }
    changed.notify_all();
    return output;
}

void Bz2WorkerPool::cancel(const std::shared_ptr<Bz2BlockTask> &task)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        task->cancelled = true;
        task->chunks.clear();
        held -= task->kept;
        task->kept = 0;
    }
    changed.notify_all();
}

bool Bz2WorkerPool::keep_chunk(Bz2BlockTask &task, QByteArray &chunk)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!task.overflowed && !task.cancelled) {
        if (task.kept + chunk.size() > TASK_KEEP_LIMIT) {
            task.overflowed = true;
            task.chunks.clear();
            held -= task.kept;
            task.kept = 0;
        } else {
            task.kept += chunk.size();
            held += chunk.size();
            task.chunks.push_back(std::move(chunk));
        }
    }
    changed.wait(lock,
                 [&] { return stopping || task.cancelled || task.head || held <= HELD_BUDGET; });
    return !stopping && !task.cancelled;
}

void Bz2WorkerPool::work()
{
    Bz2TaskDecoder decoder;
    for (;;) {
        std::shared_ptr<Bz2BlockTask> task;
        {
            std::unique_lock<std::mutex> lock(mutex);
            queued.wait(lock, [&] { return stopping || !queue.empty(); });
            if (stopping)
                return;
            task = queue.front();
            queue.pop_front();
            if (task->cancelled) {
                task->done = true;
                task->result.end = Bz2BlockDecoder::Result::End::Stopped;
                continue;
            }
        }
        const auto keep = [&](QByteArray &chunk) { return keep_chunk(*task, chunk); };
        const Bz2BlockDecoder::Result result = decoder.decode(*task, keep);
        {
            std::lock_guard<std::mutex> lock(mutex);
            task->done = true;
            task->result = result;
        }
        changed.notify_all();
    }
}
