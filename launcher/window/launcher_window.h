#pragma once

#include "login/login_result.h"
#include "window/draggable_window.h"

#include <QFuture>
#include <QList>
#include <QString>
#include <QUrl>
#include <functional>

class LauncherForm;
class LoginClient;
class NewsDisplay;
class QLabel;
class QLineEdit;
class QRadioButton;
class Updater;

// The launcher's only window and the controller of the whole run: login,
// update, game start, and back to the login form when the game ends.
class LauncherWindow : public DraggableWindow
{
    Q_OBJECT

public:
    explicit LauncherWindow(QWidget *parent = nullptr);
    ~LauncherWindow() override;

    void show_login_panel();
    void hide_login_panel(bool show_progress);

private slots:
    void on_push_button_close_clicked();
    void on_push_button_minimize_clicked();
    void on_push_button_play_clicked();
    void on_push_button_support_clicked();
    void on_push_button_home_page_clicked();
    void on_push_button_forgot_pw_clicked();
    void on_push_button_create_acct_clicked();
    void on_push_button_community_clicked();
    void on_push_button_guide_clicked();
    void on_push_button_manage_clicked();
    void on_push_button_release_clicked();
    void on_push_button_options_clicked();
    void on_push_button_continue_clicked();
    void on_radio_opengl_toggled(bool checked);
    void on_radio_directx9_toggled(bool checked);
    void on_line_edit_username_returnPressed();
    void on_line_edit_password_returnPressed();
    void download_error(int error_code, QString error_string);
    void download_progress(qint64 bytes_read, qint64 bytes_total, QString status);
    void display_news(QByteArray news_text);
    void link_clicked_webview(QUrl url);
    void sel_changed_webview();
    void handle_manifest();
    void update_finished(bool success);

private:
    void verify_credentials();
    void check_for_updates();
    void load_graphics_choice();
    void save_graphics_choice();
    void show_options_panel();
    void hide_options_panel();
    void start_game();
    void apply_display_scaling();
    void scale_label_font(QLabel *label);
    void scale_line_edit_font(QLineEdit *line_edit);
    void scale_radio_button(QRadioButton *radio_button);

    // Runs a manifest task on the global pool and returns once it has ended:
    // first a local event loop until the updater's manifest_read(), then a
    // blocking wait for the task itself.
    void run_manifest_task(const std::function<QFuture<void>()> &start_task);
    // Waits for the background tasks that still use the updater.
    void wait_for_updater_tasks();

    LauncherForm *form;
    LoginClient *login_client;
    Updater *updater;
    NewsDisplay *news_display;
    QString graphics_api;
    LoginResult login_result;
    float scale_factor = 1.0f;

    // Futures of the tasks started at construction; waited for before another
    // task runs on the same object and before the objects are deleted.
    QFuture<void> startup_manifest_task;
    QFuture<void> news_task;
};
