#include "login/login_client.h"

#include "app/blocking_request.h"
#include "login/form_encoding.h"

#include <QInputDialog>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QNetworkReply>
#include <QNetworkRequest>

#include <limits>
#include <memory>
#include <utility>

namespace {

const int STATUS_ACCEPTED = 7;
const int STATUS_TWO_STEP = 3;

} // namespace

LoginClient::LoginClient(QUrl login_url)
    : login_url(std::move(login_url)), username(QStringLiteral("")), password(QStringLiteral(""))
{
}

LoginResult LoginClient::login(const QString &username, const QString &password,
                               const QString &gtoken)
{
    this->username = username;
    this->password = password;

    BlockingRequest exchange(login_url, transfer_timeout_ms);
    exchange.request().setHeader(QNetworkRequest::ContentTypeHeader,
                                 QStringLiteral("application/x-www-form-urlencoded"));

    const QByteArray body = encode_form({{QStringLiteral("username"), username},
                                         {QStringLiteral("password"), password},
                                         {QStringLiteral("gtoken"), gtoken},
                                         {QStringLiteral("version"), LAUNCHER_VERSION}});

    LoginResult result;
    {
        std::unique_ptr<QNetworkReply> reply = exchange.post(body);
        if (reply->error() != QNetworkReply::NoError) {
            result.code = CODE_CONNECT_FAILED;
            result.text = TEXT_CONNECT_FAILED;
        } else {
            // The reply is read in full before a two-step prompt can start a
            // nested exchange, and deleted right after.
            const QByteArray answer = reply->readAll();
            reply.reset();
            result = parse_response(answer);
        }
    }

    this->username = QStringLiteral("");
    this->password = QStringLiteral("");
    return result;
}

LoginResult LoginClient::parse_response(const QByteArray &body)
{
    LoginResult result;
    result.code = CODE_INVALID_RESPONSE;
    result.text = TEXT_INVALID_RESPONSE;

    const QJsonObject answer = QJsonDocument::fromJson(body).object();
    if (!answer.contains(QLatin1String("status")))
        return result;

    int status = answer.value(QLatin1String("status")).toInt(0);
    // A status whose code would not fit in an int is no status the service
    // uses; it counts as 0 like any other unusable value.
    if (status > std::numeric_limits<int>::max() - CODE_LOGIN_STATUS_BASE)
        status = 0;
    result.success = status == STATUS_ACCEPTED;
    result.code = CODE_LOGIN_STATUS_BASE + status;

    if (result.success && answer.contains(QLatin1String("token"))) {
        result.game_server = answer.value(QLatin1String("gameserver")).toString();
        result.text = answer.value(QLatin1String("token")).toString();
        result.dist = answer.value(QLatin1String("dist")).toString();
        return result;
    }

    result.text = answer.value(QLatin1String("message")).toString();
    if (status != STATUS_TWO_STEP)
        return result;

    bool confirmed = false;
    const QString token = QInputDialog::getText(nullptr, TEXT_TWO_STEP_TITLE, TEXT_TWO_STEP_LABEL,
                                                QLineEdit::Normal, QString(), &confirmed);
    if (!confirmed)
        return result;

    // Copies: the nested exchange overwrites and then clears the members.
    const QString stored_username = username;
    const QString stored_password = password;
    return login(stored_username, stored_password, token);
}
