#pragma once

#include <QHash>
#include <QString>

// One account the service accepts.
struct Account
{
    QString username;
    QString password;
    QString two_step_token; // "" when the account needs no second step
    QString cookie; // fixed play cookie; "" for a fresh random one per login
    QString gameserver;
    QString dist;
};

// The accounts of the service, read from a JSON file:
// {"accounts": [{"username", "password", "two_step_token"?, "cookie"?,
//                "gameserver", "dist"}, ...]}
class AccountBook
{
public:
    // Replaces the accounts with those of the file. On failure keeps nothing
    // and sets error.
    bool load(const QString &path, QString *error);
    bool load_json(const QByteArray &json, QString *error);
    const Account *find(const QString &username) const;
    int size() const { return accounts.size(); }

private:
    QHash<QString, Account> accounts;
};
