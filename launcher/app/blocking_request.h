#pragma once

#include <QByteArray>
#include <QNetworkRequest>
#include <QUrl>

#include <functional>
#include <memory>

class QNetworkAccessManager;
class QNetworkReply;

// One blocking HTTP exchange on the calling thread, the way every request of
// the launcher is made: the request carries the launcher's User-Agent and an
// inactivity limit, goes out through the calling thread's shared network
// manager (unless another is given), and the call waits in a local event
// loop until the reply has finished. The finished reply is the caller's, to
// read and to delete at once.
class BlockingRequest
{
public:
    using Prepare = std::function<void(QNetworkReply *)>;

    BlockingRequest(const QUrl &url, int timeout_ms);
    // A request made elsewhere (see launcher_request).
    explicit BlockingRequest(const QNetworkRequest &request) : outgoing(request) { }
    // A request of url as the launcher makes them: its User-Agent and the
    // inactivity limit.
    static QNetworkRequest launcher_request(const QUrl &url, int timeout_ms);

    // The request, for further headers before the exchange.
    QNetworkRequest &request() { return outgoing; }
    // Sends through this manager instead of the thread's shared one.
    void use_manager(QNetworkAccessManager &manager) { chosen = &manager; }

    // `prepare` runs once the reply exists, before the wait: the place to
    // connect to its signals.
    std::unique_ptr<QNetworkReply> get(const Prepare &prepare = {});
    // Sends the GET without waiting; the reply is the caller's, to hand to
    // wait_for() later (it may have finished by then).
    QNetworkReply *start_get();
    // Waits for a reply as get() does: `prepare` runs first.
    static std::unique_ptr<QNetworkReply> wait_for(QNetworkReply *reply, const Prepare &prepare);
    std::unique_ptr<QNetworkReply> post(const QByteArray &body);
    // Any method; a body is sent when not empty.
    std::unique_ptr<QNetworkReply> send(const QByteArray &method, const QByteArray &body);

private:
    QNetworkAccessManager &manager();

    QNetworkRequest outgoing;
    QNetworkAccessManager *chosen = nullptr;
};
