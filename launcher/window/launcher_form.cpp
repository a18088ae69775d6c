#include "window/launcher_form.h"

#include "app/constants.h"
#include "window/form_style.h"
#include "window/news_view.h"

#include <QButtonGroup>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>

namespace {

// Fixed (or Minimum) in both directions, stretch 0, the widget's own
// height-for-width flag kept.
void set_policy(QWidget *widget, QSizePolicy::Policy policy)
{
    QSizePolicy size_policy(policy, policy);
    size_policy.setHorizontalStretch(0);
    size_policy.setVerticalStretch(0);
    size_policy.setHeightForWidth(widget->sizePolicy().hasHeightForWidth());
    widget->setSizePolicy(size_policy);
}

void set_fixed(QWidget *widget, int w, int h)
{
    set_policy(widget, QSizePolicy::Fixed);
    widget->setMinimumSize(QSize(w, h));
    widget->setMaximumSize(QSize(w, h));
}

template <typename T> T *place(T *widget, const char *name, int x, int y, int w, int h)
{
    widget->setObjectName(QString::fromLatin1(name));
    widget->setGeometry(QRect(x, y, w, h));
    return widget;
}

template <typename T> T *create(QWidget *parent, const char *name, int x, int y, int w, int h)
{
    return place(new T(parent), name, x, y, w, h);
}

} // namespace

QPushButton *LauncherForm::create_image_button(const char *name, int x, int y, int w, int h,
                                               bool fixed, const char *image, const char *extension)
{
    auto *button = create<QPushButton>(launcher_window, name, x, y, w, h);
    if (fixed) {
        set_fixed(button, w, h);
        button->setFont(window_font());
        button->setFocusPolicy(Qt::NoFocus);
    }
    button->setStyleSheet(image_button_style(QString::fromLatin1(name), QString::fromLatin1(image),
                                             QString::fromLatin1(extension)));
    return button;
}

QLineEdit *LauncherForm::create_line_edit(const char *name, int y, const char *style)
{
    auto *edit = create<QLineEdit>(launcher_window, name, 506, y, 150, 15);
    set_fixed(edit, 150, 15);
    edit->setFont(line_edit_font());
    edit->setStyleSheet(QString::fromLatin1(style));
    edit->setMaxLength(59);
    edit->setAlignment(Qt::AlignCenter);
    return edit;
}

QLabel *LauncherForm::create_version_label(const char *name, int y, const char *style)
{
    auto *label = create<QLabel>(launcher_window, name, 584, y, 175, 20);
    set_fixed(label, 175, 20);
    label->setFont(window_font());
    label->setStyleSheet(QString::fromLatin1(style));
    label->setAlignment(Qt::AlignRight | Qt::AlignTop);
    label->setWordWrap(true);
    return label;
}

void LauncherForm::setup_ui(QMainWindow *window)
{
    // The images are compiled into this static library; register them once.
    Q_INIT_RESOURCE(launcher);
    if (window->objectName().isEmpty())
        window->setObjectName(QStringLiteral("Launcher"));
    window->resize(806, 560);
    set_fixed(window, 806, 560);
    window->setFont(window_font());
    QIcon icon;
    icon.addFile(QStringLiteral(":/ICON/assets/ICON.ico"), QSize(), QIcon::Normal, QIcon::Off);
    window->setWindowIcon(icon);

    launcher_window = new QWidget(window);
    launcher_window->setObjectName(QStringLiteral("launcher_window"));
    launcher_window->setStyleSheet(QString::fromLatin1(STYLE_LAUNCHER_WINDOW));

    push_button_close =
        create_image_button("push_button_close", 763, 20, 20, 20, true, "CLOSE", ".png");
    push_button_minimize =
        create_image_button("push_button_minimize", 739, 20, 20, 20, true, "MINIMIZE", ".png");

    line_edit_password = create_line_edit("line_edit_password", 242, STYLE_LINE_EDIT_PASSWORD);
    line_edit_password->setEchoMode(QLineEdit::Password);

    push_button_support =
        create_image_button("push_button_support", 640, 504, 117, 23, true, "REPORT_A_BUG", ".jpg");
    push_button_home_page =
        create_image_button("push_button_home_page", 40, 504, 117, 23, true, "HOME_PAGE", ".jpg");
    push_button_play =
        create_image_button("push_button_play", 662, 224, 82, 30, true, "PLAY", ".jpg");
    push_button_play->setStyleSheet(push_button_play->styleSheet() +
                                    QString::fromLatin1(STYLE_PLAY_DISABLED));

    progress_bar = create<QProgressBar>(launcher_window, "progress_bar", 417, 240, 325, 30);
    set_fixed(progress_bar, 325, 30);
    progress_bar->setFont(window_font());
    progress_bar->setValue(0);
    progress_bar->setAlignment(Qt::AlignCenter);
    progress_bar->setTextVisible(false);
    progress_bar->setOrientation(Qt::Horizontal);
    progress_bar->setStyleSheet(QString::fromLatin1(STYLE_PROGRESS_BAR));

    label_status = create<QLabel>(launcher_window, "label_status", 406, 187, 345, 48);
    set_policy(label_status, QSizePolicy::Fixed);
    label_status->setMinimumSize(QSize(345, 48));
    label_status->setMaximumSize(QSize(345, 32));
    label_status->setFont(window_font());
    label_status->setFrameShape(QFrame::NoFrame);
    label_status->setTextFormat(Qt::PlainText);
    label_status->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label_status->setWordWrap(true);
    label_status->setStyleSheet(QString::fromLatin1(STYLE_LABEL_STATUS));

    label_server_version =
        create_version_label("label_server_version", 42, STYLE_LABEL_SERVER_VERSION);
    label_server_version->setTextFormat(Qt::AutoText);
    label_launcher_version =
        create_version_label("label_launcher_version", 62, STYLE_LABEL_LAUNCHER_VERSION);

    push_button_forgot_pw =
        create_image_button("push_button_forgot_pw", 423, 257, 117, 23, true, "FORGOT", ".jpg");

    label_name_pass = create<QLabel>(launcher_window, "label_name_pass", 414, 212, 90, 50);
    label_name_pass->setScaledContents(true);
    label_name_pass->setStyleSheet(QString::fromLatin1(STYLE_LABEL_NAME_PASS));

    push_button_create_acct =
        create_image_button("push_button_create_acct", 535, 258, 117, 23, true, "CREATE", ".jpg");
    push_button_community =
        create_image_button("push_button_community", 160, 504, 117, 23, true, "COMMUNITY", ".jpg");
    push_button_guide =
        create_image_button("push_button_guide", 280, 504, 117, 23, true, "GUIDE", ".jpg");
    push_button_manage =
        create_image_button("push_button_manage", 400, 504, 117, 23, true, "MANAGE", ".jpg");
    push_button_release =
        create_image_button("push_button_release", 520, 504, 117, 23, true, "RELEASE", ".jpg");

    webView = news_view::create(launcher_window);
    place(webView, "webView", 54, 130, 310, 341);
    webView->setPalette(web_view_palette());

    push_button_options =
        create_image_button("push_button_options", 631, 162, 121, 24, false, "OPTIONS", ".jpg");
    push_button_options->setStyleSheet(push_button_options->styleSheet() +
                                       QString::fromLatin1(STYLE_OPTIONS_DISABLED));
    push_button_options->setEnabled(false);
    push_button_continue =
        create_image_button("push_button_continue", 520, 250, 121, 23, false, "CONTINUE", ".jpg");

    label_graphics = create<QLabel>(launcher_window, "label_graphics", 430, 205, 300, 32);
    set_policy(label_graphics, QSizePolicy::Minimum);
    label_graphics->setMinimumSize(QSize(300, 32));
    label_graphics->setMaximumSize(QSize(300, 32));
    label_graphics->setFont(graphics_label_font());
    label_graphics->setFrameShape(QFrame::NoFrame);
    label_graphics->setTextFormat(Qt::PlainText);
    label_graphics->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    label_graphics->setWordWrap(true);
    label_graphics->setPalette(graphics_label_palette());

    radio_opengl = create<QRadioButton>(launcher_window, "radio_opengl", 499, 224, 76, 19);
    set_policy(radio_opengl, QSizePolicy::Minimum);
    radio_opengl->setFont(radio_font());
    radio_opengl->setPalette(radio_palette());
    button_group_options = new QButtonGroup(window);
    button_group_options->setObjectName(QStringLiteral("button_group_options"));
    button_group_options->addButton(radio_opengl);

    radio_directx9 = create<QRadioButton>(launcher_window, "radio_directx9", 585, 224, 76, 19);
    set_policy(radio_directx9, QSizePolicy::Minimum);
    radio_directx9->setFont(radio_font());
    radio_directx9->setPalette(radio_palette());
    button_group_options->addButton(radio_directx9);

    line_edit_username = create_line_edit("line_edit_username", 222, STYLE_LINE_EDIT_USERNAME);
    line_edit_username->setEchoMode(QLineEdit::Normal);

    window->setCentralWidget(launcher_window);

    // Stacking order, bottom to top.
    for (QWidget *widget : {static_cast<QWidget *>(push_button_continue),
                            static_cast<QWidget *>(progress_bar),
                            static_cast<QWidget *>(push_button_close),
                            static_cast<QWidget *>(push_button_minimize),
                            static_cast<QWidget *>(line_edit_password),
                            static_cast<QWidget *>(push_button_support),
                            static_cast<QWidget *>(push_button_home_page),
                            static_cast<QWidget *>(push_button_play),
                            static_cast<QWidget *>(label_server_version),
                            static_cast<QWidget *>(label_launcher_version),
                            static_cast<QWidget *>(push_button_forgot_pw),
                            static_cast<QWidget *>(push_button_create_acct),
                            static_cast<QWidget *>(push_button_community),
                            static_cast<QWidget *>(push_button_guide),
                            static_cast<QWidget *>(push_button_manage),
                            static_cast<QWidget *>(push_button_release),
                            static_cast<QWidget *>(webView),
                            static_cast<QWidget *>(label_status),
                            static_cast<QWidget *>(label_name_pass),
                            static_cast<QWidget *>(push_button_options),
                            static_cast<QWidget *>(label_graphics),
                            static_cast<QWidget *>(radio_opengl),
                            static_cast<QWidget *>(radio_directx9),
                            static_cast<QWidget *>(line_edit_username)})
        widget->raise();

    retranslate_ui(window);
    QMetaObject::connectSlotsByName(window);
}

void LauncherForm::retranslate_ui(QMainWindow *window)
{
    window->setWindowTitle(TEXT_WINDOW_TITLE);
    for (QPushButton *button :
         {push_button_close, push_button_minimize, push_button_support, push_button_home_page,
          push_button_play, push_button_forgot_pw, push_button_create_acct, push_button_community,
          push_button_guide, push_button_manage, push_button_release, push_button_options,
          push_button_continue})
        button->setText(QString());
    label_status->setText(TEXT_LOGIN);
    label_server_version->setText(TEXT_GETTING_VERSION);
    // Empty until the manifest's versions arrive.
    label_launcher_version->setText(QStringLiteral(
        "<html><head/><body><p><span style=\" color:#ffffff;\"></span></p></body></html>"));
    label_name_pass->setText(QStringLiteral("<html><head/><body><p><br/></p></body></html>"));
    label_graphics->setText(TEXT_CHOOSE_GRAPHICS);
    radio_opengl->setText(TEXT_OPENGL);
    radio_directx9->setText(TEXT_DIRECTX9);
}
