#pragma once

#include <QNetworkCookieJar>

// A cookie jar that keeps nothing: cookies a server sets are dropped, and no
// request carries a Cookie header. Nothing of one login or download survives
// into the next exchange.
class NoCookieJar : public QNetworkCookieJar
{
    Q_OBJECT

public:
    explicit NoCookieJar(QObject *parent = nullptr);

    QList<QNetworkCookie> cookiesForUrl(const QUrl &url) const override;
    bool setCookiesFromUrl(const QList<QNetworkCookie> &cookies, const QUrl &url) override;
    bool insertCookie(const QNetworkCookie &cookie) override;
    bool updateCookie(const QNetworkCookie &cookie) override;
};
