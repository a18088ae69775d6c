#include "app/blocking_request.h"

#include "app/constants.h"
#include "app/network_access.h"

#include <QBuffer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>

BlockingRequest::BlockingRequest(const QUrl &url, int timeout_ms)
    : outgoing(launcher_request(url, timeout_ms))
{
}

QNetworkRequest BlockingRequest::launcher_request(const QUrl &url, int timeout_ms)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::UserAgentHeader, USER_AGENT);
    request.setTransferTimeout(timeout_ms);
    return request;
}

QNetworkAccessManager &BlockingRequest::manager()
{
    return chosen ? *chosen : network_access::thread_manager();
}

std::unique_ptr<QNetworkReply> BlockingRequest::get(const Prepare &prepare)
{
    return wait_for(manager().get(outgoing), prepare);
}

QNetworkReply *BlockingRequest::start_get()
{
    return manager().get(outgoing);
}

std::unique_ptr<QNetworkReply> BlockingRequest::post(const QByteArray &body)
{
    return wait_for(manager().post(outgoing, body), {});
}

std::unique_ptr<QNetworkReply> BlockingRequest::send(const QByteArray &method,
                                                     const QByteArray &body)
{
    QBuffer upload;
    upload.setData(body);
    upload.open(QIODevice::ReadOnly);
    return wait_for(manager().sendCustomRequest(outgoing, method, body.isEmpty() ? nullptr : &upload),
                {});
}

// The loop is quit by this reply alone: other replies of the shared manager
// (requests sent ahead, still under way) cannot end the wait.
std::unique_ptr<QNetworkReply> BlockingRequest::wait_for(QNetworkReply *reply,
                                                         const Prepare &prepare)
{
    std::unique_ptr<QNetworkReply> owned(reply);
    if (prepare)
        prepare(reply);
    if (!reply->isFinished()) {
        QEventLoop loop;
        QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return owned;
}
