#pragma once

#include <QMutex>
#include <QStringList>
#include <QThread>
#include <QtGlobal>

class QTcpServer;

// A tiny HTTP proxy on 127.0.0.1 that understands only CONNECT: it records the
// "host:port" of every tunnel asked for, connects to that port on 127.0.0.1
// whatever the host (so a test never leaves loopback), answers 200 and then
// relays bytes both ways. Runs on its own thread, so it keeps serving while the test's thread is
// blocked in a request of its own.
class ConnectProxy
{
public:
    ConnectProxy();
    ~ConnectProxy();

    ConnectProxy(const ConnectProxy &) = delete;
    ConnectProxy &operator=(const ConnectProxy &) = delete;

    // Listens on an ephemeral port of 127.0.0.1; 0 when that fails.
    quint16 start();
    // The targets of the CONNECT requests so far, in arrival order.
    QStringList targets() const;

private:
    void record(const QString &target);

    QThread thread;
    QTcpServer *server = nullptr; // lives on `thread`
    mutable QMutex mutex;
    QStringList seen;
};
