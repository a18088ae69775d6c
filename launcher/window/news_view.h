#pragma once

// The widget that shows the news page, and the few things the window does
// with it. Where the web engine exists it is a web view; on Windows, where
// the toolchain has none, a text browser shows the same HTML (without
// scripts, remote images or the full range of style sheets).
#include <QString>
#include <QUrl>

#include <functional>

#ifdef ORVEX_NEWS_TEXT_BROWSER
#include <QTextBrowser>
using NewsView = QTextBrowser;
#else
#include <QWebView>
using NewsView = QWebView;
#endif

namespace news_view {

// A new view, child of `parent`, with the page's default style, no context
// menu, no drops and an empty page.
NewsView *create(QWidget *parent);
// Hands every link the page shows to `on_link` (the view follows none
// itself) and calls `on_selection` whenever the selection changes. What the
// page loads keeps no cookies.
void delegate_links(NewsView *view, QObject *context, std::function<void(const QUrl &)> on_link,
                    std::function<void()> on_selection);
void show_html(NewsView *view, const QString &html);
// Drops any selection, so the page never keeps one.
void clear_selection(NewsView *view);
// The page's text as a reader sees it.
QString plain_text(NewsView *view);

} // namespace news_view
