#pragma once

#include <QWidget>
#include <QtGlobal>

// The child widget of that object name; ends the test run when it is missing,
// since every later check would only repeat that one fault.
template <typename T> T *child(QWidget &window, const char *name)
{
    T *widget = window.findChild<T *>(QString::fromLatin1(name));
    if (!widget)
        qFatal("no widget %s", name);
    return widget;
}
