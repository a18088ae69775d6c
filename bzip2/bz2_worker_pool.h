#pragma once

#include "bz2_block_task.h"

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

// Worker threads that decode queued block tasks in queue order. The output
// of tasks that are not at the head is held back, within a shared memory
// budget: a worker whose task is not the head waits while the held output is
// over the budget. The head's worker never waits, so the head always
// finishes.
class Bz2WorkerPool
{
public:
    explicit Bz2WorkerPool(int threads);
    // Stops every worker and waits for them.
    ~Bz2WorkerPool();

    void submit(const std::shared_ptr<Bz2BlockTask> &task);
    // Marks the task as the next one to be written.
    void make_head(const std::shared_ptr<Bz2BlockTask> &task);
    bool is_done(const std::shared_ptr<Bz2BlockTask> &task);
    void wait_done(const std::shared_ptr<Bz2BlockTask> &task);
    // Moves the task's held output out.
    std::vector<QByteArray> take_output(const std::shared_ptr<Bz2BlockTask> &task);
    // Abandons the task and drops its output; a worker on it stops soon.
    void cancel(const std::shared_ptr<Bz2BlockTask> &task);

private:
    void work();
    bool keep_chunk(Bz2BlockTask &task, QByteArray &chunk);

    std::mutex mutex;
    std::condition_variable queued;
    std::condition_variable changed;
    std::deque<std::shared_ptr<Bz2BlockTask>> queue;
    bool stopping = false;
    qint64 held = 0; // output bytes held by all tasks
    const int thread_count;
    std::vector<std::thread> workers;
};
