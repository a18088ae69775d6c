#include "account_book.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

// Reads a string member; a required one must be present and non-empty.
bool read_string(const QJsonObject &o, const char *key, bool required, QString *out, QString *error)
{
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined() && !required)
        return true;
    if (!v.isString() || (required && v.toString().isEmpty())) {
        *error = QStringLiteral("\"%1\" must be a%2 string").arg(key, required ? " non-empty" : "");
        return false;
    }
    *out = v.toString();
    return true;
}

} // namespace

bool AccountBook::load(const QString &path, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        accounts.clear();
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    if (!load_json(file.readAll(), error)) {
        *error = path + QStringLiteral(": ") + *error;
        return false;
    }
    return true;
}

bool AccountBook::load_json(const QByteArray &json, QString *error)
{
    accounts.clear();
    QJsonParseError parse_error;
    const QJsonDocument doc = QJsonDocument::fromJson(json, &parse_error);
    if (!doc.isObject()) {
        *error = parse_error.error != QJsonParseError::NoError ? parse_error.errorString()
                                                               : QStringLiteral("not an object");
        return false;
    }
    const QJsonValue list = doc.object().value(QLatin1String("accounts"));
    if (!list.isArray()) {
        *error = QStringLiteral("\"accounts\" must be an array");
        return false;
    }
    QHash<QString, Account> read;
    int index = 0;
    for (const QJsonValue &entry : list.toArray()) {
        const QJsonObject o = entry.toObject();
        Account a;
        QString why;
        const bool ok = entry.isObject() && read_string(o, "username", true, &a.username, &why) &&
            read_string(o, "password", true, &a.password, &why) &&
            read_string(o, "two_step_token", false, &a.two_step_token, &why) &&
            read_string(o, "cookie", false, &a.cookie, &why) &&
            read_string(o, "gameserver", true, &a.gameserver, &why) &&
            read_string(o, "dist", true, &a.dist, &why);
        if (!ok || read.contains(a.username)) {
            if (ok)
                why = QStringLiteral("username given twice");
            else if (why.isEmpty())
                why = QStringLiteral("not an object");
            *error = QStringLiteral("account %1: %2").arg(index).arg(why);
            return false;
        }
        read.insert(a.username, a);
        ++index;
    }
    accounts = read;
    return true;
}

const Account *AccountBook::find(const QString &username) const
{
    auto it = accounts.constFind(username);
    return it == accounts.constEnd() ? nullptr : &it.value();
}
