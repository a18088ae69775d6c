#pragma once

#include "app/constants.h"

#include <QByteArray>
#include <QObject>
#include <QUrl>

// Fetches the news page once and hands its bytes to whoever listens to
// display_news. fetch_news runs on a pool thread; the signal reaches a receiver
// on the GUI thread queued.
class NewsDisplay : public QObject
{
    Q_OBJECT

public:
    explicit NewsDisplay(QUrl news_url);

    // Blocks the calling (pool) thread until the answer is in, then emits
    // display_news exactly once: the whole body, or TEXT_CANNOT_DISPLAY_NEWS
    // when the request failed.
    void fetch_news();

    QUrl news_url;
    // A fetch that receives no byte for this long fails.
    int transfer_timeout_ms = NETWORK_INACTIVITY_TIMEOUT_MS;

signals:
    void display_news(QByteArray news_text);
};
