#include "game/game_report.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>

namespace {

const char *const VARIABLES[] = {"ORVEX_PLAYCOOKIE", "ORVEX_GAMESERVER", "ORVEX_DIST", "ORVEX_DEV"};

} // namespace

QJsonObject GameReport::collect()
{
    QJsonObject report;
    for (const char *name : VARIABLES)
        report.insert(QString::fromLatin1(name),
                      qEnvironmentVariableIsSet(name) ? QJsonValue(qEnvironmentVariable(name))
                                                      : QJsonValue(QJsonValue::Null));
    QFile api(QStringLiteral("game_api.txt"));
    report.insert(QStringLiteral("game_api"),
                  api.open(QIODevice::ReadOnly) ? QJsonValue(QString::fromUtf8(api.readAll()))
                                                : QJsonValue(QJsonValue::Null));
    report.insert(QStringLiteral("working_directory"), QDir::currentPath());
    return report;
}

QString GameReport::masked(const QString &cookie)
{
    const int shown = qMin(4, cookie.size());
    return QString(cookie.size() - shown, QLatin1Char('*')) + cookie.right(shown);
}

bool GameReport::write(const QJsonObject &report, const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(QJsonDocument(report).toJson()) > 0;
}
