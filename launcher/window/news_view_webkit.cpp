#include "window/news_view.h"

#include "app/network_access.h"
#include "window/form_style.h"
#include "window/news_fonts.h"

#include <QWebPage>
#include <QWebFrame>
#include <QWebSettings>
#include <QWebView>

namespace news_view {

NewsView *create(QWidget *parent)
{
    auto *view = new QWebView(parent);
    view->setMouseTracking(true);
    view->setContextMenuPolicy(Qt::NoContextMenu);
    view->setAcceptDrops(false);
    view->setStyleSheet(QStringLiteral("background: transparent;"));
    view->settings()->setUserStyleSheetUrl(
        QUrl(QStringLiteral("data:text/css;charset=utf-8;base64,") +
             QString::fromLatin1(QByteArray(STYLE_NEWS_PAGE_DEFAULTS).toBase64())));
    // The shipped font for the page's sans-serif and for a page that names
    // no font, as the text view uses it.
    const QString family = news_fonts::install();
    if (!family.isEmpty()) {
        view->settings()->setFontFamily(QWebSettings::StandardFont, family);
        view->settings()->setFontFamily(QWebSettings::SansSerifFont, family);
    }
    view->setUrl(QUrl(QStringLiteral("about:blank")));
    return view;
}

void delegate_links(NewsView *view, QObject *context, std::function<void(const QUrl &)> on_link,
                    std::function<void()> on_selection)
{
    // Every link goes to on_link: under DelegateExternalLinks the engine
    // itself would follow file: and qrc: links and replace the news page
    // until the next start.
    view->page()->setLinkDelegationPolicy(QWebPage::DelegateAllLinks);
    network_access::refuse_cookies(*view->page()->networkAccessManager());
    QObject::connect(view, &QWebView::linkClicked, context, std::move(on_link));
    QObject::connect(view, &QWebView::selectionChanged, context, std::move(on_selection));
}

void show_html(NewsView *view, const QString &html)
{
    view->setHtml(html, QUrl());
}

void clear_selection(NewsView *view)
{
    // Searching for nothing drops the selection.
    view->findText(QString(), QWebPage::FindFlags());
}

QString plain_text(NewsView *view)
{
    return view->page()->mainFrame()->toPlainText();
}

} // namespace news_view
