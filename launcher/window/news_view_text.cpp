#include "window/news_view.h"

#include "window/form_style.h"
#include "window/news_fonts.h"

#include <QFont>
#include <QScrollBar>

#include <QTextBlock>
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
    // The browser's own text colour stands in for the page's default one;
    // its scroll bar takes the window's colours.
    view->setStyleSheet(QString::fromLatin1(STYLE_NEWS_TEXT_VIEW));
    view->verticalScrollBar()->setStyleSheet(QString::fromLatin1(STYLE_NEWS_SCROLL_BAR));
    view->viewport()->setAutoFillBackground(false);
    view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    // The shipped font, for the page's sans-serif and for a page that names
    // no font, as the web view uses it: no system fallback face.
    const QString family = news_fonts::install();
    if (!family.isEmpty()) {
        for (const char *generic : {"sans-serif", "sans", "helvetica", "arial", "verdana"})
            QFont::insertSubstitution(QString::fromLatin1(generic), family);
        QFont font(family);
        font.setPixelSize(16);
        view->document()->setDefaultFont(font);
    }
    // The browser resolves nothing itself: no page, image or file is ever
    // loaded from a link or a reference in the news.
    view->setOpenLinks(false);
    view->setOpenExternalLinks(false);
    view->setSearchPaths(QStringList());
    // The page's defaults in the selectors the text browser knows: its
    // style sheets have no html element and no link states.
    QString defaults = QString::fromLatin1(STYLE_NEWS_PAGE_DEFAULTS);
    defaults.replace(QLatin1String("html {"), QLatin1String("body {"));
    defaults.replace(QLatin1String("a:link {"), QLatin1String("a {"));
    view->document()->setDefaultStyleSheet(defaults);
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
    // A heading keeps the browser's own enlargement on top of a size the
    // page gives in pixels; the page's size is the one a web view shows.
    QTextDocument *document = view->document();
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextFragment fragment = it.fragment();
            QTextCharFormat format = fragment.charFormat();
            if (!format.hasProperty(QTextFormat::FontPixelSize) ||
                !format.hasProperty(QTextFormat::FontSizeAdjustment))
                continue;
            format.clearProperty(QTextFormat::FontSizeAdjustment);
            QTextCursor cursor(document);
            cursor.setPosition(fragment.position());
            cursor.setPosition(fragment.position() + fragment.length(), QTextCursor::KeepAnchor);
            cursor.setCharFormat(format);
        }
    }
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
