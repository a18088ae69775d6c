#include "window/news_view.h"

#include "window/form_style.h"

#include <QTextBrowser>
#include <QTextCursor>
#include <QTextDocument>

namespace news_view {

NewsView *create(QWidget *parent)
{
    auto *view = new QTextBrowser(parent);
    view->setMouseTracking(true);
    view->setContextMenuPolicy(Qt::NoContextMenu);
    view->setAcceptDrops(false);
    view->setFrameShape(QFrame::NoFrame);
    view->setStyleSheet(QStringLiteral("background: transparent;"));
    view->viewport()->setAutoFillBackground(false);
    // The browser resolves nothing itself: no page, image or file is ever
    // loaded from a link or a reference in the news.
    view->setOpenLinks(false);
    view->setOpenExternalLinks(false);
    view->setSearchPaths(QStringList());
    view->document()->setDefaultStyleSheet(QString::fromLatin1(STYLE_NEWS_PAGE_DEFAULTS));
    return view;
}

void delegate_links(NewsView *view, QObject *context, std::function<void(const QUrl &)> on_link,
                    std::function<void()> on_selection)
{
    QObject::connect(view, &QTextBrowser::anchorClicked, context, std::move(on_link));
    QObject::connect(view, &QTextBrowser::selectionChanged, context, std::move(on_selection));
}

void show_html(NewsView *view, const QString &html)
{
    view->setHtml(html);
}

void clear_selection(NewsView *view)
{
    QTextCursor cursor = view->textCursor();
    if (!cursor.hasSelection())
        return;
    cursor.clearSelection();
    view->setTextCursor(cursor);
}

QString plain_text(NewsView *view)
{
    return view->toPlainText();
}

} // namespace news_view
