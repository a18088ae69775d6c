#pragma once

#include <QJsonObject>
#include <QString>

// What the game received from the launcher: its four environment variables
// (absent ones as null) and the graphics choice file of its working directory.
class GameReport
{
public:
    static QJsonObject collect();
    // The play cookie hidden but for its last four characters.
    static QString masked(const QString &cookie);
    static bool write(const QJsonObject &report, const QString &path);
};
