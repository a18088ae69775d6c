#pragma once

#include <httplib.h>

#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

// The server's connection workers: one thread per open connection, started
// on demand up to a cap and kept for reuse, so idle or slow clients cannot
// take every worker away from a login.
//
// Each connection has a deadline for its TLS handshake and request head (and,
// after an answer, for the next request). A watch thread shuts down the
// socket of a connection that passes it, so a client that trickles a byte now
// and then is dropped after a few seconds instead of holding its worker for
// ever. The deadline is lifted while a request is being answered, so a slow
// download is not cut.
class ConnectionWorkers : public httplib::TaskQueue
{
public:
    using Clock = std::chrono::steady_clock;

    ConnectionWorkers(size_t max_threads, Clock::duration request_deadline);
    ~ConnectionWorkers() override;

    void enqueue(std::function<void()> job) override;
    void shutdown() override;

    // Called on the thread that serves a connection.
    // The connection's socket is known (at the start of its TLS handshake).
    static void note_socket(int fd);
    // The request has been read: no deadline while it is answered.
    static void request_read();
    // An answer went out: the next request must arrive within the idle time
    // plus the request deadline.
    static void answer_sent(Clock::duration idle);

private:
    struct Connection
    {
        ConnectionWorkers *owner = nullptr;
        int fd = -1;
        sockaddr_storage peer {};
        socklen_t peer_length = 0;
        bool armed = true;
        bool cut = false;
        Clock::time_point deadline;
    };

    void work();
    void watch();
    void cut(Connection *connection);
    static void arm(Clock::duration delay);

    const size_t max_threads;
    const Clock::duration request_deadline;
    std::mutex mutex;
    std::condition_variable job_ready;
    std::condition_variable watch_wake;
    std::deque<std::function<void()>> jobs;
    std::vector<std::thread> threads;
    size_t idle = 0;
    bool stopping = false; // no new work: workers end once the queue is empty
    bool watching = true; // the watch thread runs until every worker has ended
    std::set<Connection *> open;
    std::thread watcher;

    static thread_local Connection *current;
};
