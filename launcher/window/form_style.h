#pragma once

#include <QFont>
#include <QPalette>
#include <QString>

// Fonts, palettes and style sheets of the launcher window's form.

QFont window_font();
QFont line_edit_font();
QFont graphics_label_font();
QFont radio_font();

QPalette web_view_palette();
QPalette graphics_label_palette();
QPalette radio_palette();

// The style sheet of an image button: normal, hover and pressed images named
// "<image>_NORMAL", "_ROLLOVER" and "_DOWN" plus the extension.
QString image_button_style(const QString &object_name, const QString &image,
                           const QString &extension);

// The news page's user style: light text on the dark panel for a page
// without colours of its own ("Cannot display news" too). A user style
// yields to the page's own rules, so a page that sets its colours keeps them.
extern const char STYLE_NEWS_PAGE_DEFAULTS[];

// The text news view: transparent on the panel, its default text colour;
// its scroll bar slim and in the progress bar's colours (dark track, light
// handle) rather than the system's white one, set on the bar itself.
extern const char STYLE_NEWS_TEXT_VIEW[];
extern const char STYLE_NEWS_SCROLL_BAR[];

extern const char STYLE_LAUNCHER_WINDOW[];
extern const char STYLE_LABEL_STATUS[];
extern const char STYLE_PROGRESS_BAR[];
extern const char STYLE_LINE_EDIT_PASSWORD[];
extern const char STYLE_LABEL_SERVER_VERSION[];
extern const char STYLE_LABEL_LAUNCHER_VERSION[];
extern const char STYLE_LINE_EDIT_USERNAME[];
extern const char STYLE_LABEL_NAME_PASS[];
extern const char STYLE_PLAY_DISABLED[];
extern const char STYLE_OPTIONS_DISABLED[];
