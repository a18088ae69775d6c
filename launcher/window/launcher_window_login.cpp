// The login road: name and password, play (or Return), the login exchange.
#include "window/launcher_window.h"

#include "app/constants.h"
#include "login/login_client.h"
#include "window/launcher_form.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

void LauncherWindow::on_push_button_play_clicked()
{
    if (form->line_edit_username->text().isEmpty() || form->line_edit_password->text().isEmpty())
        return;
    road_running = true;
    shift_at_play = QGuiApplication::queryKeyboardModifiers() & Qt::ShiftModifier;
    form->push_button_play->setEnabled(false);
    form->line_edit_username->setEnabled(false);
    form->line_edit_password->setEnabled(false);
    form->push_button_options->setEnabled(false);
    form->label_status->setText(TEXT_VERIFYING_CREDENTIALS);

    verify_credentials();

    if (login_result.success) {
        form->label_status->setText(TEXT_CHECKING_UPDATES);
        check_for_updates();
    }
}

void LauncherWindow::verify_credentials()
{
    // The exchange spins its own event loop; the disabled form keeps the
    // player from starting a second one meanwhile.
    login_result = login_client->login(form->line_edit_username->text(),
                                       form->line_edit_password->text(), QString());
    if (login_result.success) {
        hide_login_panel(true);
        return;
    }
    road_running = false;
    form->label_status->setText(QString::number(login_result.code) + QStringLiteral(": ") +
                                login_result.text);
    form->push_button_play->setEnabled(true);
    form->line_edit_username->setEnabled(true);
    form->line_edit_password->setEnabled(true);
    form->push_button_options->setEnabled(true);
    form->line_edit_username->setFocus(Qt::OtherFocusReason);
}

void LauncherWindow::on_line_edit_username_returnPressed()
{
    if (!form->line_edit_username->text().isEmpty())
        form->line_edit_password->setFocus(Qt::OtherFocusReason);
}

void LauncherWindow::on_line_edit_password_returnPressed()
{
    if (form->line_edit_password->text().isEmpty())
        return;
    if (form->line_edit_username->text().isEmpty())
        form->line_edit_username->setFocus(Qt::OtherFocusReason);
    else if (form->push_button_play->isEnabled())
        on_push_button_play_clicked();
}
