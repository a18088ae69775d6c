#include "app/no_cookie_jar.h"

#include <QNetworkCookie>

NoCookieJar::NoCookieJar(QObject *parent) : QNetworkCookieJar(parent) { }

QList<QNetworkCookie> NoCookieJar::cookiesForUrl(const QUrl &) const
{
    return {};
}

bool NoCookieJar::setCookiesFromUrl(const QList<QNetworkCookie> &, const QUrl &)
{
    return false;
}

bool NoCookieJar::insertCookie(const QNetworkCookie &)
{
    return false;
}

bool NoCookieJar::updateCookie(const QNetworkCookie &)
{
    return false;
}
