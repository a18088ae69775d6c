#include "news/news_display.h"

#include "app/network_setup.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <memory>
#include <utility>

NewsDisplay::NewsDisplay(QUrl news_url) : news_url(std::move(news_url)) { }

void NewsDisplay::fetch_news()
{
    use_system_proxy();
    QNetworkRequest request(news_url);
    request.setHeader(QNetworkRequest::UserAgentHeader, USER_AGENT);
    request.setTransferTimeout(transfer_timeout_ms);

    // Manager, loop and reply belong to this (pool) thread and end with it.
    QNetworkAccessManager manager;
    QEventLoop loop;
    connect(&manager, &QNetworkAccessManager::finished, &loop, &QEventLoop::quit);
    std::unique_ptr<QNetworkReply> reply(manager.get(request));
    if (!reply->isFinished())
        loop.exec();

    const QByteArray payload = reply->error() == QNetworkReply::NoError
        ? reply->readAll()
        : TEXT_CANNOT_DISPLAY_NEWS.toUtf8();
    reply.reset();
    emit display_news(payload);
}
