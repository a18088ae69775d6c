#include "news_probe.h"

#include <QAbstractTextDocumentLayout>
#include <QFontInfo>
#include <QTextBlock>
#include <QTextBrowser>
#include <QTextCursor>
#include <QtTest>

namespace news_probe {

namespace {

QTextBrowser *view_of(QWidget &window)
{
    return window.findChild<QTextBrowser *>(QStringLiteral("webView"));
}

} // namespace

bool show(QWidget &window, const QByteArray &html)
{
    // The text browser lays the page out at once.
    return QMetaObject::invokeMethod(&window, "display_news", Q_ARG(QByteArray, html));
}

QString text(QWidget &window)
{
    return view_of(window)->toPlainText();
}

QRect link_rect(QWidget &window, const QString &label)
{
    QTextBrowser *view = view_of(window);
    const QTextCursor found = view->document()->find(label);
    if (found.isNull())
        return QRect();
    QTextCursor start(view->document());
    start.setPosition(found.selectionStart());
    QTextCursor end(view->document());
    end.setPosition(found.selectionEnd());
    // In the viewport's coordinates, where the browser takes its clicks.
    const QRect first = view->cursorRect(start), last = view->cursorRect(end);
    return QRect(first.topLeft(), QPoint(last.left(), first.bottom()))
        .translated(view->viewport()->pos());
}

const char *link_signal()
{
    return SIGNAL(anchorClicked(QUrl));
}

QString text_colour(QWidget &window)
{
    QTextBrowser *view = view_of(window);
    const QTextBlock last = view->document()->lastBlock();
    const QTextCharFormat format = last.begin().atEnd() ? last.charFormat()
                                                        : last.begin().fragment().charFormat();
    // No colour of the page's own: the browser's text colour shows.
    const QColor colour = format.hasProperty(QTextFormat::ForegroundBrush)
        ? format.foreground().color()
        : view->palette().color(QPalette::Text);
    return QStringLiteral("rgb(%1, %2, %3)")
        .arg(colour.red())
        .arg(colour.green())
        .arg(colour.blue());
}

QString sans_family(QWidget &)
{
    QFont font(QStringLiteral("sans-serif"));
    font.setPixelSize(12);
    return QFontInfo(font).family();
}

int element_height(QWidget &window, const QString &id)
{
    // The paragraph holding the anchor of that name.
    QTextDocument *document = view_of(window)->document();
    for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            if (it.fragment().charFormat().anchorNames().contains(id)) {
                const QTextBlockFormat format = block.blockFormat();
                return qRound(document->documentLayout()->blockBoundingRect(block).height() -
                              format.topMargin() - format.bottomMargin());
            }
        }
    }
    return -1;
}

} // namespace news_probe
