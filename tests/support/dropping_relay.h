#pragma once

#include <QThread>
#include <QtGlobal>

#include <atomic>

class QTcpServer;

// A TCP relay on 127.0.0.1 in front of another port of 127.0.0.1 that closes
// the first connections it accepts at once, before a byte has passed: a
// request sent on them never gets an answer begun. Later connections relay
// bytes both ways. Runs on its own thread.
class DroppingRelay
{
public:
    explicit DroppingRelay(int drops) : drops_left(drops) { thread.start(); }
    ~DroppingRelay();

    DroppingRelay(const DroppingRelay &) = delete;
    DroppingRelay &operator=(const DroppingRelay &) = delete;

    // Listens on an ephemeral port, relaying to `target`; 0 when that fails.
    quint16 start(quint16 target);
    // Connections closed at once so far.
    int dropped() const { return dropped_count; }

private:
    QThread thread;
    QTcpServer *server = nullptr; // lives on `thread`
    std::atomic<int> drops_left;
    std::atomic<int> dropped_count {0};
};
