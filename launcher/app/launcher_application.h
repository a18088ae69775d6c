#pragma once

#include <QApplication>
#include <QStringList>

// The application object: a QApplication under the program's own name. It
// turns on the system's proxy configuration for every exchange.
class LauncherApplication : public QApplication
{
public:
    LauncherApplication(int &argc, char **argv);
    ~LauncherApplication() override;

    // Whether the command line asks for a full verification of the game files
    // ("--verify"). Qt's own options are taken out of it beforehand.
    bool full_verification_requested() const;
    // The same test on an argument list whose first entry is the program.
    static bool asks_for_full_verification(const QStringList &arguments);
};
