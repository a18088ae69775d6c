#include "app/launcher_application.h"
#include "app/tls_setup.h"
#include "window/launcher_window.h"

#include <openssl/crypto.h>

#include <cstdio>
#include <cstdlib>

// On Windows the program's entry is Qt's WinMain adapter, which builds argc
// and argv from the wide command line and calls this function under the
// name qMain (launcher/CMakeLists.txt).
int main(int argc, char **argv)
{
    // OpenSSL is set up before Qt's network layer loads it, without reading
    // any configuration file: a file at the folder built into the library
    // (on Windows one a user may create) could name a module to load.
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    // Qt plug-ins beside the working directory are found too.
    LauncherApplication::addLibraryPath(QStringLiteral("./"));
    LauncherApplication app(argc, argv);
    install_development_ca();

    // The window lives for the whole run and is never deleted, so background
    // tasks still using its updater or news object stay safe after exec().
    auto *window = new LauncherWindow(GameFolder::of_launcher());
    window->set_full_verification(app.full_verification_requested());
    window->show();
    const int status = app.exec();
    // The application object's destructor would wait for the pool tasks, and
    // a news or version read from a silent server holds out until its time-out.
    // They only read, so the process ends without them.
    std::fflush(nullptr);
    std::_Exit(status);
}
