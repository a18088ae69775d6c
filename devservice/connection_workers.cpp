#include "connection_workers.h"

#include <cstring>
#include <unistd.h>

namespace {
// How often the watch thread looks for connections past their deadline.
constexpr auto WATCH_INTERVAL = std::chrono::milliseconds(200);
} // namespace

thread_local ConnectionWorkers::Connection *ConnectionWorkers::current = nullptr;

ConnectionWorkers::ConnectionWorkers(size_t max_threads, Clock::duration request_deadline)
    : max_threads(max_threads), request_deadline(request_deadline)
{
    watcher = std::thread([this] { watch(); });
}

ConnectionWorkers::~ConnectionWorkers()
{
    shutdown();
}

void ConnectionWorkers::enqueue(std::function<void()> job)
{
    std::lock_guard<std::mutex> lock(mutex);
    jobs.push_back(std::move(job));
    if (idle < jobs.size() && threads.size() < max_threads)
        threads.emplace_back([this] { work(); });
    job_ready.notify_one();
}

// Workers finish the connections they have; the watch thread keeps cutting
// stalled ones until the last worker is done, so none can hold the stop up.
void ConnectionWorkers::shutdown()
{
    std::vector<std::thread> workers;
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
        workers.swap(threads);
    }
    job_ready.notify_all();
    for (std::thread &thread : workers)
        thread.join();
    {
        std::lock_guard<std::mutex> lock(mutex);
        watching = false;
    }
    watch_wake.notify_all();
    if (watcher.joinable())
        watcher.join();
}

void ConnectionWorkers::work()
{
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        ++idle;
        job_ready.wait(lock, [this] { return stopping || !jobs.empty(); });
        --idle;
        if (jobs.empty())
            return; // stopping, and every queued connection has been served
        std::function<void()> job = std::move(jobs.front());
        jobs.pop_front();
        Connection connection;
        connection.owner = this;
        connection.deadline = Clock::now() + request_deadline;
        open.insert(&connection);
        current = &connection;
        lock.unlock();
        job(); // serves the connection and closes its socket
        lock.lock();
        current = nullptr;
        open.erase(&connection);
    }
}

void ConnectionWorkers::watch()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (watching) {
        watch_wake.wait_for(lock, WATCH_INTERVAL);
        const Clock::time_point now = Clock::now();
        for (Connection *connection : open) {
            if (connection->armed && !connection->cut && connection->fd >= 0 &&
                connection->deadline <= now)
                cut(connection);
        }
    }
}

// Shuts the socket down, which wakes its worker from any wait with an end of
// stream. The peer is compared first: should the socket have been closed and
// its number reused a moment ago, the other connection is left alone.
void ConnectionWorkers::cut(Connection *connection)
{
    connection->cut = true;
    sockaddr_storage peer {};
    socklen_t length = sizeof peer;
    if (::getpeername(connection->fd, reinterpret_cast<sockaddr *>(&peer), &length) != 0 ||
        length != connection->peer_length || std::memcmp(&peer, &connection->peer, length) != 0)
        return;
    ::shutdown(connection->fd, SHUT_RDWR);
}

void ConnectionWorkers::note_socket(int fd)
{
    Connection *connection = current;
    if (!connection || connection->fd >= 0 || fd < 0)
        return;
    std::lock_guard<std::mutex> lock(connection->owner->mutex);
    connection->peer_length = sizeof connection->peer;
    if (::getpeername(fd, reinterpret_cast<sockaddr *>(&connection->peer),
                      &connection->peer_length) == 0)
        connection->fd = fd;
}

void ConnectionWorkers::request_read()
{
    Connection *connection = current;
    if (!connection)
        return;
    std::lock_guard<std::mutex> lock(connection->owner->mutex);
    connection->armed = false;
}

void ConnectionWorkers::answer_sent(Clock::duration idle)
{
    if (current)
        arm(idle + current->owner->request_deadline);
}

void ConnectionWorkers::arm(Clock::duration delay)
{
    std::lock_guard<std::mutex> lock(current->owner->mutex);
    current->armed = true;
    current->deadline = Clock::now() + delay;
}
