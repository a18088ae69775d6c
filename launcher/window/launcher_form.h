#pragma once

#include "window/news_view.h"

class QButtonGroup;
class QLabel;
class QLineEdit;
class QMainWindow;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QWidget;

// Holder of the launcher window's widgets: one member per widget, named by the
// widget's object name and declared in creation order. The widgets belong to
// the window through Qt parent ownership; the holder only points at them.
class LauncherForm
{
public:
    QWidget *launcher_window = nullptr;
    QPushButton *push_button_close = nullptr;
    QPushButton *push_button_minimize = nullptr;
    QLineEdit *line_edit_password = nullptr;
    QPushButton *push_button_support = nullptr;
    QPushButton *push_button_home_page = nullptr;
    QPushButton *push_button_play = nullptr;
    QProgressBar *progress_bar = nullptr;
    QLabel *label_status = nullptr;
    QLabel *label_server_version = nullptr;
    QLabel *label_launcher_version = nullptr;
    QPushButton *push_button_forgot_pw = nullptr;
    QLabel *label_name_pass = nullptr;
    QPushButton *push_button_create_acct = nullptr;
    QPushButton *push_button_community = nullptr;
    QPushButton *push_button_guide = nullptr;
    QPushButton *push_button_manage = nullptr;
    QPushButton *push_button_release = nullptr;
    NewsView *webView = nullptr;
    QPushButton *push_button_options = nullptr;
    QPushButton *push_button_continue = nullptr;
    QLabel *label_graphics = nullptr;
    QRadioButton *radio_opengl = nullptr;
    QRadioButton *radio_directx9 = nullptr;
    QLineEdit *line_edit_username = nullptr;
    QButtonGroup *button_group_options = nullptr;

    // Builds the whole widget tree into the window, sets the texts and
    // connects the window's slots by object name.
    void setup_ui(QMainWindow *window);
    // Sets the window title and the initial texts.
    void retranslate_ui(QMainWindow *window);

private:
    QPushButton *create_image_button(const char *name, int x, int y, int w, int h, bool fixed,
                                     const char *image, const char *extension);
    QLineEdit *create_line_edit(const char *name, int y, const char *style);
    QLabel *create_version_label(const char *name, int y, const char *style);
};
