#pragma once

// What tst_window reads from the window's news view, the same way for the
// web view (news_probe_webkit.cpp) and the text browser of Windows
// (news_probe_text.cpp).
#include <QRect>
#include <QString>

class QWidget;

namespace news_probe {

// Shows `html` as the window's news (its display_news slot) and waits until
// the view has laid it out; false on time-out.
bool show(QWidget &window, const QByteArray &html);
// The page's text as a reader sees it.
QString text(QWidget &window);
// Where the link whose text is `label` lies, in the view's coordinates.
QRect link_rect(QWidget &window, const QString &label);
// The signal the view sends for a clicked link (for QSignalSpy).
const char *link_signal();
// The colour of the page's last element's text, as "rgb(r, g, b)".
QString text_colour(QWidget &window);
// The family of the font the page's sans-serif text is drawn in.
QString sans_family(QWidget &window);
// The height in pixels of the page element with that id.
int element_height(QWidget &window, const QString &id);

} // namespace news_probe
