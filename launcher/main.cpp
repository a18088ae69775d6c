#include "app/launcher_application.h"
#include "app/tls_setup.h"
#include "window/launcher_window.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    // Qt plug-ins beside the working directory are found too.
    LauncherApplication::addLibraryPath(QStringLiteral("./"));
    LauncherApplication app(argc, argv);
    install_development_ca();

    // The window lives for the whole run and is never deleted, so background
    // tasks still using its updater or news object stay safe after exec().
    auto *window = new LauncherWindow();
    window->set_full_verification(app.full_verification_requested());
    window->show();
    const int status = app.exec();
    // The application object's destructor would wait for the pool tasks, and
    // a news or version read from a silent server holds out until its time-out.
    // They only read, so the process ends without them.
    std::fflush(nullptr);
    std::_Exit(status);
}
