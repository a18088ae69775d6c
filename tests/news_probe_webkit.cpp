#include "news_probe.h"

#include <QSignalSpy>
#include <QWebElement>
#include <QWebFrame>
#include <QWebSettings>
#include <QWebView>
#include <QtTest>

namespace news_probe {

namespace {

QWebView *view_of(QWidget &window)
{
    return window.findChild<QWebView *>(QStringLiteral("webView"));
}

} // namespace

bool show(QWidget &window, const QByteArray &html)
{
    QSignalSpy loaded(view_of(window), &QWebView::loadFinished);
    if (!QMetaObject::invokeMethod(&window, "display_news", Q_ARG(QByteArray, html)))
        return false;
    return !loaded.isEmpty() || loaded.wait(10000);
}

QString text(QWidget &window)
{
    return view_of(window)->page()->mainFrame()->toPlainText();
}

QRect link_rect(QWidget &window, const QString &label)
{
    const QWebElementCollection links = view_of(window)->page()->mainFrame()->findAllElements("a");
    for (const QWebElement &link : links) {
        if (link.toPlainText() == label)
            return link.geometry();
    }
    return QRect();
}

const char *link_signal()
{
    return SIGNAL(linkClicked(QUrl));
}

QString text_colour(QWidget &window)
{
    return view_of(window)
        ->page()
        ->mainFrame()
        ->evaluateJavaScript(QStringLiteral(
            "getComputedStyle(document.body.lastElementChild || document.body).color"))
        .toString();
}

QString sans_family(QWidget &window)
{
    return view_of(window)->settings()->fontFamily(QWebSettings::SansSerifFont);
}

int element_height(QWidget &window, const QString &id)
{
    return view_of(window)->page()->mainFrame()->findFirstElement("#" + id).geometry().height();
}

} // namespace news_probe
