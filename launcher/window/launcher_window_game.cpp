// The game start: environment, process, hidden window, back to the login form.
#include "window/launcher_window.h"

#include "app/constants.h"
#include "game/game_environment.h"
#include "platform/program_start.h"
#include "updater/updater.h"
#include "window/launcher_form.h"

#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>

#include <memory>

void LauncherWindow::start_game()
{
    form->label_status->setText(TEXT_STARTING_GAME);
    GameEnvironment::apply(login_result);

    auto game = std::make_unique<QProcess>();
    const QString exec_name = updater->get_exec_name();
    // A program fetched over the network arrives without execute permission.
    ensure_owner_executable(resolve_program(exec_name));
    start_program(*game, exec_name, QStringList());
    GameEnvironment::withdraw_dev_flag(login_result);

    // The GUI thread waits for the whole game; a game that cannot start ends the wait at once.
    hide();
    game->waitForFinished(-1);

    show_login_panel();
    form->line_edit_password->setFocus(Qt::OtherFocusReason);
    form->push_button_options->setEnabled(true);
    show();
}
