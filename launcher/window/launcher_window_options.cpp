// The graphics options panel and the file that keeps the player's choice.
#include "window/launcher_window.h"

#include "app/constants.h"
#include "window/launcher_form.h"

#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>

void LauncherWindow::load_graphics_choice()
{
    QFile file(game_folder.file_path(GAME_API_FILE));
    if (!file.exists()) {
        graphics_api = GAME_API_OPENGL;
        save_graphics_choice();
    } else {
        // Only the first line counts, its line feed included: "pandagl\n"
        // does not select OpenGL. An unreadable file reads as an empty line.
        QByteArray line;
        if (file.open(QIODevice::ReadOnly | QIODevice::Text))
            line = file.readLine();
        graphics_api = QString::fromUtf8(line);
        file.close();
    }
    // Checking a button emits its toggled(true), whose slot sets graphics_api.
    if (graphics_api == GAME_API_OPENGL)
        form->radio_opengl->setChecked(true);
    else
        form->radio_directx9->setChecked(true);
}

void LauncherWindow::save_graphics_choice()
{
    QFile file(game_folder.file_path(GAME_API_FILE));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Text))
        return;
    file.write(graphics_api.toUtf8());
    file.close();
}

void LauncherWindow::on_radio_opengl_toggled(bool checked)
{
    if (checked)
        graphics_api = GAME_API_OPENGL;
}

void LauncherWindow::on_radio_directx9_toggled(bool checked)
{
    if (checked)
        graphics_api = GAME_API_DIRECTX9;
}

void LauncherWindow::on_push_button_options_clicked()
{
    hide_login_panel(false);
    show_options_panel();
}

void LauncherWindow::on_push_button_continue_clicked()
{
    save_graphics_choice();
    hide_options_panel();
    show_login_panel();
}

void LauncherWindow::show_options_panel()
{
    form->push_button_options->hide();
    form->label_status->setText(TEXT_DISPLAY_OPTIONS);
    form->label_graphics->show();
    form->radio_opengl->show();
    form->radio_directx9->show();
    form->push_button_continue->show();
}

void LauncherWindow::hide_options_panel()
{
    form->label_status->clear();
    form->label_graphics->hide();
    form->radio_opengl->hide();
    form->radio_directx9->hide();
    form->push_button_continue->hide();
    // The options button goes back beside the login form, so the panel stays
    // reachable; its enabled state is kept by the login and update roads.
    form->push_button_options->show();
}
