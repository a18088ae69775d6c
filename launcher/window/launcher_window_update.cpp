// The update road: version labels, the launcher-update prompt, the manifest
// reads before play, and the updater's progress, errors and end.
#include "window/launcher_window.h"

#include "app/constants.h"
#include "app/distribution_address.h"
#include "updater/updater.h"
#include "window/launcher_form.h"
#include "window/progress_display.h"

#include <QDesktopServices>
#include <QEventLoop>
#include <QFutureWatcher>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QThreadPool>
#include <QtConcurrent>

#include <cstdio>
#include <cstdlib>

bool LauncherWindow::wait_for_task(const QFuture<void> &task)
{
    // Always through the watcher, even for a task that has already ended: its
    // end is reported by an event posted after the task's own queued signals
    // (got_manifest() among them), so those have been handled when the loop
    // quits, and none runs later while another task writes the updater.
    QFutureWatcher<void> watcher;
    QEventLoop loop;
    bool finished = false;
    connect(&watcher, &QFutureWatcher<void>::finished, &loop, [&] {
        finished = true;
        loop.quit();
    });
    watcher.setFuture(task);
    loop.exec();
    return finished;
}

bool LauncherWindow::run_road_task(const std::function<QFuture<void>()> &start_task)
{
    road_task = start_task();
    return wait_for_task(road_task);
}

void LauncherWindow::check_for_updates()
{
    form->push_button_options->setEnabled(false);

    // No two tasks may run on the updater at once: the start-up read may still be going.
    if (!wait_for_task(startup_manifest_task))
        return;
    updater->set_full_verification(full_verification_always || shift_at_play);
    if (!run_road_task([this] {
            return QtConcurrent::run(QThreadPool::globalInstance(), updater,
                                     &Updater::read_manifest, true, MANIFEST_NAME);
        }))
        return;

    // A distribution name that is no plain host label yields no address and
    // no second manifest; the game still receives the name as it came.
    const QString dist = login_result.dist;
    const QUrl base = distribution_base(dist);
    if (dist != DIST_PRODUCTION && !base.isEmpty()) {
        if (!run_road_task([this, base, dist] {
                return QtConcurrent::run(QThreadPool::globalInstance(), updater,
                                         &Updater::read_extra_manifest, base, MANIFEST_NAME, dist);
            }))
            return;
    }

    // With nothing to update this starts the game from within the call.
    updater->start_update();
}

void LauncherWindow::handle_manifest()
{
    const QString server_version = updater->get_server_version();
    const QString launcher_version = updater->get_launcher_version();
    form->label_server_version->setText(
        server_version.isEmpty() ? TEXT_NOT_AVAILABLE : TEXT_SERVER_VERSION.arg(server_version));
    form->label_launcher_version->setText(launcher_version.isEmpty()
                                              ? TEXT_NOT_AVAILABLE
                                              : TEXT_LAUNCHER_VERSION.arg(launcher_version));

    // Any other published version counts as an update, older ones included.
    if (launcher_version.isEmpty() || launcher_version == LAUNCHER_VERSION)
        return;
    QMessageBox prompt;
    prompt.setWindowTitle(TEXT_LAUNCHER_UPDATE_TITLE);
    prompt.setText(TEXT_LAUNCHER_UPDATE);
    prompt.setIcon(QMessageBox::Critical);
    QPushButton *update_button = prompt.addButton(TEXT_UPDATE_BUTTON, QMessageBox::YesRole);
    prompt.exec();
    if (prompt.clickedButton() == update_button)
        QDesktopServices::openUrl(QUrl(URL_PLAY, QUrl::TolerantMode));
    // Ends the process at once: the event loop is not resumed, and pool tasks
    // still waiting on the network must not hold the exit up.
    std::fflush(nullptr);
    std::_Exit(1);
}

// A small file's step reports many times a millisecond: the display shows
// the reports at a human rate (ProgressDisplay).
void LauncherWindow::download_progress(qint64 bytes_read, qint64 bytes_total, QString status)
{
    progress_display->report(bytes_read, bytes_total, status);
}

void LauncherWindow::download_error(int error_code, QString error_string)
{
    progress_display->flush();
    form->label_status->setText(QString::number(error_code) + QStringLiteral(": ") + error_string);
}

void LauncherWindow::update_finished(bool success)
{
    progress_display->flush();
    // After a failure the error stays on screen; the player can only close the launcher.
    if (success)
        start_game();
    else
        road_running = false;
}
