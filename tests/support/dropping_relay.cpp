#include "dropping_relay.h"

#include <QHostAddress>
#include <QMetaObject>
#include <QTcpServer>
#include <QTcpSocket>

DroppingRelay::~DroppingRelay()
{
    // The thread deletes the server and its sockets as it ends.
    if (server)
        server->deleteLater();
    thread.quit();
    thread.wait();
}

quint16 DroppingRelay::start(quint16 target)
{
    quint16 port = 0;
    server = new QTcpServer;
    server->moveToThread(&thread);
    QMetaObject::invokeMethod(
        server,
        [this, &port, target] {
            if (!server->listen(QHostAddress::LocalHost))
                return;
            port = server->serverPort();
            QObject::connect(server, &QTcpServer::newConnection, server, [this, target] {
                while (QTcpSocket *client = server->nextPendingConnection()) {
                    client->setParent(server);
                    if (drops_left.fetch_sub(1) > 0) {
                        ++dropped_count;
                        client->abort();
                        client->deleteLater();
                        continue;
                    }
                    auto *upstream = new QTcpSocket(client);
                    QObject::connect(client, &QTcpSocket::readyRead, upstream, [client, upstream] {
                        upstream->write(client->readAll());
                    });
                    QObject::connect(upstream, &QTcpSocket::readyRead, client, [client, upstream] {
                        client->write(upstream->readAll());
                    });
                    QObject::connect(upstream, &QTcpSocket::connected, client,
                                     [client, upstream] { upstream->write(client->readAll()); });
                    QObject::connect(client, &QTcpSocket::disconnected, upstream,
                                     &QTcpSocket::disconnectFromHost);
                    QObject::connect(upstream, &QTcpSocket::disconnected, client,
                                     &QTcpSocket::disconnectFromHost);
                    upstream->connectToHost(QHostAddress::LocalHost, target);
                }
            });
        },
        Qt::BlockingQueuedConnection);
    return port;
}
