#pragma once

#include <QByteArray>
#include <QList>
#include <QNetworkReply>
#include <QPair>
#include <QUrl>

// The outcome of one exchange made by blocking_fetch.
struct FetchResult
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0; // HTTP status, 0 when none arrived
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers; // response headers
    QByteArray header(const QByteArray &name) const; // case-insensitive, "" if none
};

// One request with a fresh QNetworkAccessManager on the calling thread,
// waiting in a local event loop, with the launcher's User-Agent unless a
// header replaces it. A non-empty body is sent with the given
// method (usually POST). Usable from any thread with or without its own loop.
FetchResult blocking_fetch(const QByteArray &method, const QUrl &url,
                           const QByteArray &body = QByteArray(),
                           const QList<QPair<QByteArray, QByteArray>> &headers = {});
