// The link buttons, the news page and its links.
#include "window/launcher_window.h"

#include "app/constants.h"
#include "window/launcher_form.h"
#include "window/news_view.h"

#include <QDesktopServices>

namespace {

void open_link(const QString &address)
{
    QDesktopServices::openUrl(QUrl(address, QUrl::TolerantMode));
}

} // namespace

void LauncherWindow::on_push_button_support_clicked()
{
    open_link(URL_FAQ);
}

void LauncherWindow::on_push_button_home_page_clicked()
{
    open_link(URL_HOME);
}

void LauncherWindow::on_push_button_forgot_pw_clicked()
{
    open_link(URL_RESET_PASSWORD);
}

void LauncherWindow::on_push_button_create_acct_clicked()
{
    open_link(URL_REGISTER);
}

void LauncherWindow::on_push_button_community_clicked()
{
    open_link(URL_FORUMS);
}

void LauncherWindow::on_push_button_guide_clicked()
{
    open_link(URL_WIKI);
}

void LauncherWindow::on_push_button_manage_clicked()
{
    open_link(URL_ACCOUNT);
}

void LauncherWindow::on_push_button_release_clicked()
{
    open_link(URL_RELEASES);
}

void LauncherWindow::link_clicked_webview(QUrl url)
{
    // The news page comes from the network: only web and mail addresses go to
    // the desktop, never file: or other schemes that could start a local program.
    const QString scheme = url.scheme().toLower();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https") ||
        scheme == QLatin1String("mailto"))
        QDesktopServices::openUrl(url);
}

void LauncherWindow::sel_changed_webview()
{
    news_view::clear_selection(form->webView);
}

void LauncherWindow::display_news(QByteArray news_text)
{
    // The text ends at the first NUL byte.
    const int end = news_text.indexOf('\0');
    const QString html = QString::fromUtf8(end < 0 ? news_text : news_text.left(end));
    news_view::show_html(form->webView, html);
    form->webView->show();
}
