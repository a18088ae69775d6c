#include "app/launcher_application.h"
#include "app/tls_setup.h"
#include "window/launcher_window.h"

int main(int argc, char **argv)
{
    // Qt plug-ins beside the working directory are found too.
    LauncherApplication::addLibraryPath(QStringLiteral("./"));
    LauncherApplication app(argc, argv);
    install_development_ca();

    // The window lives for the whole run and is never deleted, so background
    // tasks still using its updater or news object stay safe after exec().
    auto *window = new LauncherWindow();
    window->show();
    return app.exec();
}
