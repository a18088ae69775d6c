#pragma once

#include "files/game_folder.h"
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
class ProgressDisplay;
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
    // Works on the working directory.
    explicit LauncherWindow(QWidget *parent = nullptr);
    // Updates `game` and starts the game from it; "game_api.txt" lies there.
    explicit LauncherWindow(const GameFolder &game, QWidget *parent = nullptr);
    ~LauncherWindow() override;

    void show_login_panel();
    void hide_login_panel(bool show_progress);
    // Every play checks every game file in full (the --verify option); without
    // it only a play pressed with Shift held does.
    void set_full_verification(bool always) { full_verification_always = always; }

protected:
    void closeEvent(QCloseEvent *event) override;

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

    // Waits in a local event loop, so the window stays responsive, until the
    // task has finished and every signal it sent before has been handled.
    // False when the loop ended early because the application is quitting:
    // the road then goes no further.
    bool wait_for_task(const QFuture<void> &task);
    // Runs a manifest task of the play road on the global pool and waits for it.
    bool run_road_task(const std::function<QFuture<void>()> &start_task);
    // Blocks until the background tasks that still use the updater have ended.
    void wait_for_updater_tasks();

    // The one folder the update works on and the game starts from.
    const GameFolder game_folder;
    LauncherForm *form;
    LoginClient *login_client;
    Updater *updater;
    NewsDisplay *news_display;
    // The update's progress on the status label and the bar (a child).
    ProgressDisplay *progress_display = nullptr;
    QString graphics_api;
    LoginResult login_result;
    float scale_factor = 1.0f;
    bool full_verification_always = false;
    // Whether Shift was held when play was pressed.
    bool shift_at_play = false;
    // From the play press until the road is back on the login form or has
    // failed for good; a close meanwhile ends the process at once.
    bool road_running = false;

    // Futures of the tasks started at construction; waited for before another
    // task runs on the same object and before the objects are deleted.
    QFuture<void> startup_manifest_task;
    QFuture<void> news_task;
    // The manifest task of the play road under way (or the last one).
    QFuture<void> road_task;
};
