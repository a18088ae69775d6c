#include "app/launcher_application.h"

LauncherApplication::LauncherApplication(int &argc, char **argv) : QApplication(argc, argv) { }

LauncherApplication::~LauncherApplication() = default;
