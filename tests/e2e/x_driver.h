#pragma once

#include <QPoint>
#include <QRect>
#include <QString>

// Drives windows on the X display with xdotool, as a player would with mouse
// and keyboard.
class XDriver
{
public:
    // The id of a visible window whose title matches the regular expression,
    // or "" when none shows up within the time.
    static QString wait_for_window(const QString &title_regex, int timeout_ms);
    static bool is_visible(const QString &window_id);
    static QRect geometry(const QString &window_id);
    // Clicks at a point given in the window's own coordinates.
    static void click(const QString &window_id, const QPoint &at);
    static void type(const QString &text);
    static void key(const QString &key_name);
    // Saves a picture of the whole screen.
    static bool screenshot(const QString &png_path);

private:
    static QString run(const QString &program, const QStringList &arguments);
};
