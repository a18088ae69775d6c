#include "window/form_style.h"

namespace {

QFont make_font(const char *family, int point_size, int weight)
{
    QFont font;
    font.setFamily(QString::fromLatin1(family));
    font.setPointSize(point_size);
    if (weight >= 0) {
        font.setBold(weight > QFont::Normal);
        font.setWeight(weight);
    }
    return font;
}

// WindowText in the given colours for the Active, Inactive and Disabled groups.
void set_window_text(QPalette &palette, const QColor &active, const QColor &disabled)
{
    palette.setBrush(QPalette::Active, QPalette::WindowText, QBrush(active, Qt::SolidPattern));
    palette.setBrush(QPalette::Inactive, QPalette::WindowText, QBrush(active, Qt::SolidPattern));
    palette.setBrush(QPalette::Disabled, QPalette::WindowText, QBrush(disabled, Qt::SolidPattern));
}

} // namespace

QFont window_font()
{
    return make_font("Arial", 10, 75);
}

QFont line_edit_font()
{
    return make_font("Microsoft Sans Serif", 10, 75);
}

QFont graphics_label_font()
{
    return make_font("Arial", 9, 50);
}

QFont radio_font()
{
    return make_font("Arial", 9, -1);
}

QPalette web_view_palette()
{
    QPalette palette;
    set_window_text(palette, QColor(255, 255, 255), QColor(120, 120, 120));
    const QBrush clear(QColor(0, 0, 0, 0), Qt::SolidPattern);
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        palette.setBrush(group, QPalette::Button, clear);
        palette.setBrush(group, QPalette::Base, clear);
        palette.setBrush(group, QPalette::Window, clear);
    }
    return palette;
}

QPalette graphics_label_palette()
{
    QPalette palette;
    set_window_text(palette, QColor(158, 105, 0), QColor(120, 120, 120));
    return palette;
}

QPalette radio_palette()
{
    QPalette palette;
    set_window_text(palette, QColor(255, 255, 255), QColor(120, 120, 120));
    return palette;
}

QString image_button_style(const QString &object_name, const QString &image,
                           const QString &extension)
{
    return QStringLiteral("QPushButton#%1 {\n"
                          "    border: none;\n"
                          "    background-image: url(:/JPEG/assets/%2_NORMAL%3);\n"
                          "    background-repeat: none;\n"
                          "}\n"
                          "\n"
                          "QPushButton#%1:hover {\n"
                          "    background-image: url(:/JPEG/assets/%2_ROLLOVER%3);\n"
                          "}\n"
                          "\n"
                          "QPushButton#%1:pressed {\n"
                          "    background-image: url(:/JPEG/assets/%2_DOWN%3);\n"
                          "}")
        .arg(object_name, image, extension);
}

const char STYLE_LAUNCHER_WINDOW[] = "QWidget#launcher_window {\n"
                                     "    background-image: url(:/JPEG/assets/BACKGROUND.png);\n"
                                     "    border-radius: 25px;\n"
                                     "}";
const char STYLE_NEWS_PAGE_DEFAULTS[] = "html { color: rgb(235, 230, 215); }\n"
                                        "a:link { color: rgb(255, 214, 120); }\n"
                                        "a:visited { color: rgb(230, 190, 110); }\n";
const char STYLE_NEWS_TEXT_VIEW[] = "QTextBrowser {\n"
                                    "    background: transparent;\n"
                                    "    color: rgb(235, 230, 215);\n"
                                    "}";
const char STYLE_NEWS_SCROLL_BAR[] = "QScrollBar:vertical {\n"
                                    "    width: 10px;\n"
                                    "    margin: 0;\n"
                                    "    border: none;\n"
                                    "    background: rgb(74, 46, 39);\n"
                                    "}\n"
                                    "QScrollBar::handle:vertical {\n"
                                    "    min-height: 24px;\n"
                                    "    border: 1px solid grey;\n"
                                    "    border-radius: 4px;\n"
                                    "    background: rgb(255, 234, 128);\n"
                                    "}\n"
                                    "QScrollBar::add-line:vertical, QScrollBar::sub-line:vertical {\n"
                                    "    height: 0;\n"
                                    "    border: none;\n"
                                    "    background: none;\n"
                                    "}\n"
                                    "QScrollBar::add-page:vertical, QScrollBar::sub-page:vertical {\n"
                                    "    background: none;\n"
                                    "}\n"
                                    "QScrollBar:horizontal {\n"
                                    "    height: 0;\n"
                                    "}";
const char STYLE_LABEL_STATUS[] = "QLabel#label_status {\n"
                                  "    border: none;\n"
                                  "    background: none;\n"
                                  "    color: rgb(255, 255, 204);\n"
                                  "}";
const char STYLE_PROGRESS_BAR[] = "QProgressBar#progress_bar {\n"
                                  "    border: 1px solid grey;\n"
                                  "    background: none;\n"
                                  "    background-color: rgb(74, 46, 39);\n"
                                  "}\n"
                                  "\n"
                                  "QProgressBar::chunk#progress_bar {\n"
                                  "    border: 1px solid grey;\n"
                                  "    background-color: rgb(255, 234, 128);\n"
                                  "}";
const char STYLE_LINE_EDIT_PASSWORD[] = "QLineEdit#line_edit_password {\n"
                                        "    border: none;\n"
                                        "    background: none;\n"
                                        "    background-color: rgb(255, 255, 255);\n"
                                        "}";
const char STYLE_LABEL_SERVER_VERSION[] = "QLabel#label_server_version {\n"
                                          "    border: none;\n"
                                          "    background: none;\n"
                                          "    color: rgb(255, 255, 255);\n"
                                          "}";
const char STYLE_LABEL_LAUNCHER_VERSION[] = "QLabel#label_launcher_version {\n"
                                            "    border: none;\n"
                                            "    background: none;\n"
                                            "    color: rgb(255, 255, 255);\n"
                                            "}";
const char STYLE_LINE_EDIT_USERNAME[] = "QLineEdit#line_edit_username {\n"
                                        "    border: none;\n"
                                        "    background: none;\n"
                                        "    background-color: rgb(255, 255, 255);\n"
                                        "}";
const char STYLE_LABEL_NAME_PASS[] = "image: url(:/JPEG/assets/account_name.jpg);";
const char STYLE_PLAY_DISABLED[] = "\n"
                                   "\n"
                                   "QPushButton#push_button_play:disabled {\n"
                                   "    background-image: url(:/JPEG/assets/PLAY_DISABLED.jpg);\n"
                                   "}";
// The options button is disabled while a login or an update runs; its dimmed
// face tells the player so.
const char STYLE_OPTIONS_DISABLED[] =
    "\n"
    "\n"
    "QPushButton#push_button_options:disabled {\n"
    "    background-image: url(:/JPEG/assets/OPTIONS_DISABLED.jpg);\n"
    "}";
