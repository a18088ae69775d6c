#include "xvfb_display.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QStandardPaths>
#include <QThread>

XvfbDisplay::XvfbDisplay()
{
    const QString given = qEnvironmentVariable("DISPLAY");
    if (!given.isEmpty()) {
        display = given;
        return;
    }
    if (QStandardPaths::findExecutable("Xvfb").isEmpty()) {
        why = "Xvfb is missing (scripts/setup)";
        return;
    }
    // The first number with neither a lock nor a socket of another server.
    for (int number = 90; number < 140; ++number) {
        const QString socket = QString("/tmp/.X11-unix/X%1").arg(number);
        if (QFileInfo::exists(QString("/tmp/.X%1-lock").arg(number)) || QFileInfo::exists(socket))
            continue;
        const QString name = QString(":%1").arg(number);
        server.start("Xvfb", {name, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"});
        if (!server.waitForStarted(5000))
            break;
        QElapsedTimer timer;
        timer.start();
        while (!QFileInfo::exists(socket) && server.state() == QProcess::Running &&
               timer.elapsed() < 10000)
            QThread::msleep(20);
        if (QFileInfo::exists(socket) && server.state() == QProcess::Running) {
            display = name;
            qputenv("DISPLAY", display.toLatin1());
            return;
        }
        server.kill();
        server.waitForFinished(5000);
    }
    why = "no X display could be started";
}

XvfbDisplay::~XvfbDisplay()
{
    if (server.state() != QProcess::NotRunning) {
        server.terminate();
        if (!server.waitForFinished(5000)) {
            server.kill();
            server.waitForFinished(5000);
        }
        qunsetenv("DISPLAY");
    }
}
