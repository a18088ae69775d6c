#pragma once

#include "app/constants.h"
#include "login/login_result.h"

#include <QByteArray>
#include <QString>
#include <QUrl>

// Checks the player's credentials against the account service: one blocking
// HTTPS POST of a form, answered with JSON. When the service demands a second
// factor, the client asks the player for the token in a modal dialog and posts
// again. Runs on the GUI thread; waits in a local event loop.
class LoginClient
{
public:
    explicit LoginClient(QUrl login_url);

    // One complete exchange, including any two-step prompts and the exchanges
    // they lead to. The stored credentials are empty again when it returns.
    LoginResult login(const QString &username, const QString &password, const QString &gtoken);

    // Interprets an answer body; asks for a token and logs in again when the
    // service answers status 3.
    LoginResult parse_response(const QByteArray &body);

    QUrl login_url;
    // Credentials of the exchange under way; empty outside an exchange.
    QString username;
    QString password;
    // An exchange that receives no byte for this long fails as unreachable.
    int transfer_timeout_ms = NETWORK_INACTIVITY_TIMEOUT_MS;
};
