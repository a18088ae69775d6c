#pragma once

#include <QProcess>
#include <QString>

// An X display for the windowed benchmark: the one DISPLAY names, or else a
// virtual frame buffer (Xvfb) of its own on a free display number, stopped
// with this object. The display is also put into this process's
// environment, so the launcher and xdotool started from here use it.
class XvfbDisplay
{
public:
    XvfbDisplay();
    ~XvfbDisplay();
    XvfbDisplay(const XvfbDisplay &) = delete;
    XvfbDisplay &operator=(const XvfbDisplay &) = delete;

    bool ok() const { return !display.isEmpty(); }
    // Why there is none, when !ok().
    QString problem() const { return why; }

private:
    QProcess server;
    QString display;
    QString why;
};
