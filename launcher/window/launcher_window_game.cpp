// The game start: environment, process, hidden window, back to the login form.
#include "window/launcher_window.h"

#include "app/constants.h"
#include "game/game_environment.h"
#include "platform/game_process.h"
#include "platform/program_start.h"
#include "updater/updater.h"
#include "window/launcher_form.h"

#include <QLabel>
#include <QLineEdit>

void LauncherWindow::start_game()
{
    form->label_status->setText(TEXT_STARTING_GAME);
    GameEnvironment::apply(login_result);

    GameProcess game;
    const QString exec_name = updater->get_exec_name();
    // Only a file in the game folder, the one just updated, is started,
    // never a program the system would find along PATH.
    const QString program = find_local_program(game_folder.path(), exec_name);
    bool started = false;
    if (!program.isEmpty()) {
        // A program fetched over the network arrives without execute permission.
        ensure_owner_executable(program);
        started = game.start(program);
    }
    GameEnvironment::withdraw_dev_flag(login_result);

    if (started) {
        // The GUI thread waits for the whole game.
        hide();
        game.wait_for_end();
    }

    road_running = false;
    show_login_panel();
    if (!started)
        form->label_status->setText(TEXT_GAME_START_FAILED.arg(exec_name));
    form->line_edit_password->setFocus(Qt::OtherFocusReason);
    show();
}
