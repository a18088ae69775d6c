#include "news/news_display.h"

#include "app/blocking_request.h"
#include "app/network_access.h"

#include <QNetworkReply>

#include <memory>
#include <utility>

NewsDisplay::NewsDisplay(QUrl news_url) : news_url(std::move(news_url)) { }

void NewsDisplay::fetch_news()
{
    // The reply belongs to this (pool) thread and its shared manager.
    std::unique_ptr<QNetworkReply> reply = BlockingRequest(news_url, transfer_timeout_ms).get();
    const QByteArray payload = reply->error() == QNetworkReply::NoError
        ? reply->readAll()
        : TEXT_CANNOT_DISPLAY_NEWS.toUtf8();
    reply.reset();
    network_access::close_idle_connections_off_main_thread();
    emit display_news(payload);
}
