#include "blocking_fetch.h"

#include <QBuffer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkRequest>

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
    QNetworkRequest request(url);
    for (const auto &h : headers)
        request.setRawHeader(h.first, h.second);
    QNetworkAccessManager manager;
    QBuffer upload;
    upload.setData(body);
    upload.open(QIODevice::ReadOnly);
    QNetworkReply *reply =
        manager.sendCustomRequest(request, method, body.isEmpty() ? nullptr : &upload);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    if (!reply->isFinished())
        loop.exec();

    FetchResult result;
    result.error = reply->error();
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    result.headers = reply->rawHeaderPairs();
    delete reply;
    return result;
}
