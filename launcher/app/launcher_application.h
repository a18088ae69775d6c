#pragma once

#include <QApplication>

// The application object: a QApplication under the program's own name.
class LauncherApplication : public QApplication
{
public:
    LauncherApplication(int &argc, char **argv);
    ~LauncherApplication() override;
};
