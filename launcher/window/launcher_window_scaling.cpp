// Font scaling to the screen's logical DPI, applied once at construction.
#include "window/launcher_window.h"

#include "window/display_scaling.h"
#include "window/launcher_form.h"

#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QRadioButton>
#include <QScreen>

namespace {

void scale_font(QWidget *widget, float factor)
{
    QFont font = widget->font();
    font.setPointSize(scale_by(font.pointSize(), factor));
    widget->setFont(font);
}

} // namespace

void LauncherWindow::apply_display_scaling()
{
    scale_factor = display_scale_factor(QGuiApplication::screens().first()->logicalDotsPerInch());

    scale_label_font(form->label_server_version);
    scale_label_font(form->label_launcher_version);
    scale_label_font(form->label_status);
    scale_label_font(form->label_graphics);
    scale_line_edit_font(form->line_edit_username);
    scale_line_edit_font(form->line_edit_password);
    scale_radio_button(form->radio_opengl);
    scale_radio_button(form->radio_directx9);
}

void LauncherWindow::scale_label_font(QLabel *label)
{
    scale_font(label, scale_factor);
}

void LauncherWindow::scale_line_edit_font(QLineEdit *line_edit)
{
    scale_font(line_edit, scale_factor);
}

void LauncherWindow::scale_radio_button(QRadioButton *radio_button)
{
    scale_font(radio_button, scale_factor);
    radio_button->setIconSize(scale_by(radio_button->iconSize(), scale_factor));
}
