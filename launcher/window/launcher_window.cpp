#include "window/launcher_window.h"

#include "app/constants.h"
#include "login/login_client.h"
#include "news/news_display.h"
#include "updater/updater.h"
#include "window/launcher_form.h"
#include "window/news_view.h"
#include "window/progress_display.h"

#include <QCloseEvent>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QThreadPool>
#include <QtConcurrent>

#include <cstdio>
#include <cstdlib>

LauncherWindow::LauncherWindow(QWidget *parent)
    : LauncherWindow(GameFolder(QDir::currentPath()), parent)
{
}

LauncherWindow::LauncherWindow(const GameFolder &game, QWidget *parent)
    : DraggableWindow(parent)
    , game_folder(game)
    , form(new LauncherForm)
    , login_client(new LoginClient(QUrl(URL_LOGIN_API, QUrl::TolerantMode)))
    , updater(new Updater(QUrl(URL_DOWNLOAD, QUrl::TolerantMode), game))
    , news_display(new NewsDisplay(QUrl(URL_LAUNCHER_API, QUrl::TolerantMode)))
{
    // Connect before starting each task, so no result is missed.
    connect(news_display, &NewsDisplay::display_news, this, &LauncherWindow::display_news);
    news_task =
        QtConcurrent::run(QThreadPool::globalInstance(), news_display, &NewsDisplay::fetch_news);

    connect(updater, &Updater::got_manifest, this, &LauncherWindow::handle_manifest);
    startup_manifest_task = QtConcurrent::run(QThreadPool::globalInstance(), updater,
                                              &Updater::read_manifest, false, MANIFEST_NAME);

    form->setup_ui(this);
    progress_display = new ProgressDisplay(form->label_status, form->progress_bar, this);
    apply_display_scaling();

    // Every link goes to link_clicked_webview, which opens only web and mail
    // addresses.
    news_view::delegate_links(
        form->webView, this, [this](const QUrl &url) { link_clicked_webview(url); },
        [this] { sel_changed_webview(); });

    setWindowFlags(Qt::FramelessWindowHint);
    setAttribute(Qt::WA_TranslucentBackground);

    load_graphics_choice();
    hide_options_panel();
    show_login_panel();
    form->line_edit_username->setFocus(Qt::OtherFocusReason);

    connect(updater, &Updater::download_error, this, &LauncherWindow::download_error);
    connect(updater, qOverload<qint64, qint64, const QString &>(&Updater::download_progress), this,
            &LauncherWindow::download_progress);
    connect(updater, &Updater::update_finished, this, &LauncherWindow::update_finished);
}

LauncherWindow::~LauncherWindow()
{
    // Tasks still running on the pool use the updater and the news object.
    wait_for_updater_tasks();
    news_task.waitForFinished();
    delete form;
    delete login_client;
    delete updater;
    delete news_display;
}

void LauncherWindow::wait_for_updater_tasks()
{
    startup_manifest_task.waitForFinished();
    road_task.waitForFinished();
}

void LauncherWindow::show_login_panel()
{
    form->label_status->setText(TEXT_LOGIN);
    form->progress_bar->hide();
    // The options panel is reachable from the login form, at start-up too.
    form->push_button_options->setEnabled(true);
    form->push_button_play->setEnabled(true);
    form->push_button_play->show();
    form->push_button_forgot_pw->show();
    form->push_button_create_acct->show();
    form->line_edit_username->setEnabled(true);
    form->line_edit_username->setMaxLength(64);
    form->line_edit_username->show();
    form->line_edit_password->setEnabled(true);
    form->line_edit_password->setMaxLength(64);
    form->line_edit_password->clear();
    form->line_edit_password->show();
    form->label_name_pass->show();
}

void LauncherWindow::hide_login_panel(bool show_progress)
{
    form->label_status->clear();
    form->progress_bar->setVisible(show_progress);
    form->push_button_play->hide();
    form->push_button_forgot_pw->hide();
    form->push_button_create_acct->hide();
    form->line_edit_username->hide();
    form->line_edit_password->hide();
    form->label_name_pass->hide();
}

void LauncherWindow::on_push_button_close_clicked()
{
    close();
}

void LauncherWindow::closeEvent(QCloseEvent *event)
{
    if (!road_running) {
        // The login form: the event loop ends and main returns 0.
        DraggableWindow::closeEvent(event);
        return;
    }
    // Mid-road the GUI thread is inside a local event loop of the login
    // exchange, a manifest read or a transfer; unwinding it would let the road
    // go on to the next download, the patch program or the game. The run ends
    // here instead: no further request, no game, exit status 0. Files being
    // replaced are swapped in whole by the updater, so none is left half written.
    hide();
    std::fflush(nullptr);
    std::_Exit(0);
}

void LauncherWindow::on_push_button_minimize_clicked()
{
    setWindowState(Qt::WindowMinimized);
}
