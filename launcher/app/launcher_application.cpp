#include "app/launcher_application.h"

#include "app/network_setup.h"

namespace {

const QString OPTION_VERIFY = QStringLiteral("--verify");

} // namespace

LauncherApplication::LauncherApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    use_system_proxy();
}

LauncherApplication::~LauncherApplication() = default;

bool LauncherApplication::full_verification_requested() const
{
    return asks_for_full_verification(arguments());
}

bool LauncherApplication::asks_for_full_verification(const QStringList &arguments)
{
    // Other arguments are ignored: the launcher has no options of its own
    // beyond this one.
    return arguments.indexOf(OPTION_VERIFY, 1) >= 0;
}
