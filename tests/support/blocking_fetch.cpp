#include "blocking_fetch.h"

#include "app/blocking_request.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>

#include <memory>

QByteArray FetchResult::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

FetchResult blocking_fetch(const QByteArray &method, const QUrl &url, const QByteArray &body,
                           const QList<QPair<QByteArray, QByteArray>> &headers)
{
    // A manager of its own: a test's exchange shares no connection with
    // another.
    QNetworkAccessManager manager;
    BlockingRequest exchange(url, 0);
    exchange.use_manager(manager);
    for (const auto &h : headers)
        exchange.request().setRawHeader(h.first, h.second);
    const std::unique_ptr<QNetworkReply> reply = exchange.send(method, body);

    FetchResult result;
    result.error = reply->error();
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    result.headers = reply->rawHeaderPairs();
    return result;
}
