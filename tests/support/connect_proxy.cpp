#include "connect_proxy.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QMutexLocker>
#include <QTcpServer>
#include <QTcpSocket>

namespace {

// Sends whatever one side receives to the other; both close together.
void relay(QTcpSocket *from, QTcpSocket *to)
{
    QObject::connect(from, &QTcpSocket::readyRead, to, [from, to] { to->write(from->readAll()); });
    QObject::connect(from, &QTcpSocket::disconnected, to, &QTcpSocket::disconnectFromHost);
}

} // namespace

ConnectProxy::ConnectProxy()
{
    thread.start();
}

ConnectProxy::~ConnectProxy()
{
    // The thread deletes the server and its sockets as it ends.
    if (server)
        server->deleteLater();
    thread.quit();
    thread.wait();
}

quint16 ConnectProxy::start()
{
    quint16 port = 0;
    server = new QTcpServer;
    server->moveToThread(&thread);
    QMetaObject::invokeMethod(
        server,
        [this, &port] {
            if (!server->listen(QHostAddress::LocalHost))
                return;
            port = server->serverPort();
            QObject::connect(server, &QTcpServer::newConnection, server, [this] {
                while (QTcpSocket *client = server->nextPendingConnection()) {
                    client->setParent(server);
                    // Collects the request head, then opens the tunnel.
                    QObject::connect(client, &QTcpSocket::readyRead, server, [this, client] {
                        if (client->property("tunnel").toBool())
                            return;
                        QByteArray head = client->property("head").toByteArray();
                        head += client->readAll();
                        client->setProperty("head", head);
                        const int end = head.indexOf("\r\n\r\n");
                        if (end < 0)
                            return;
                        const QList<QByteArray> words = head.left(head.indexOf("\r\n")).split(' ');
                        if (words.size() != 3 || words.at(0) != "CONNECT") {
                            client->write("HTTP/1.1 405 Method Not Allowed\r\n\r\n");
                            client->disconnectFromHost();
                            return;
                        }
                        const QString target = QString::fromLatin1(words.at(1));
                        record(target);
                        client->setProperty("tunnel", true);
                        auto *upstream = new QTcpSocket(client);
                        const QByteArray early = head.mid(end + 4);
                        QObject::connect(upstream, &QTcpSocket::connected, client,
                                         [client, upstream, early] {
                                             relay(client, upstream);
                                             relay(upstream, client);
                                             client->write("HTTP/1.1 200 Connection established"
                                                           "\r\n\r\n");
                                             upstream->write(early + client->readAll());
                                         });
                        QObject::connect(upstream, &QTcpSocket::errorOccurred, client, [client] {
                            client->write("HTTP/1.1 502 Bad Gateway\r\n\r\n");
                            client->disconnectFromHost();
                        });
                        upstream->connectToHost(QHostAddress::LocalHost,
                                                target.section(QLatin1Char(':'), -1).toUShort());
                    });
                }
            });
        },
        Qt::BlockingQueuedConnection);
    return port;
}

QStringList ConnectProxy::targets() const
{
    QMutexLocker lock(&mutex);
    return seen;
}

void ConnectProxy::record(const QString &target)
{
    QMutexLocker lock(&mutex);
    seen << target;
}
