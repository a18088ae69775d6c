#pragma once

#include "account_book.h"

#include <QByteArray>
#include <QString>

// What the service sends back for one login request.
struct LoginAnswer
{
    int http_status = 200;
    QByteArray content_type;
    QByteArray body;
};

// The login exchange: checks a form-encoded login against the accounts and
// answers the JSON the launcher reads. Status 7 accepts with "token",
// "gameserver" and "dist"; 3 asks for the two-step token; 1 refuses the
// credentials; 4 refuses a launcher version other than the accepted one.
// A request that is not a well-formed login form gets an HTTP 4xx.
// Safe to use from several threads at once.
class LoginHandler
{
public:
    LoginHandler(const AccountBook &accounts, const QString &accepted_version);

    LoginAnswer answer(const QByteArray &content_type, const QByteArray &body) const;

private:
    const AccountBook &accounts;
    QString accepted_version;
};
