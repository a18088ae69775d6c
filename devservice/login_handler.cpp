#include "login_handler.h"

#include "form_body.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>

namespace {

constexpr int STATUS_BAD_CREDENTIALS = 1;
constexpr int STATUS_TWO_STEP = 3;
constexpr int STATUS_OLD_LAUNCHER = 4;
constexpr int STATUS_ACCEPTED = 7;

LoginAnswer json_answer(const QJsonObject &object)
{
    return {200, "application/json", QJsonDocument(object).toJson(QJsonDocument::Compact)};
}

LoginAnswer refusal(int status, const QString &message)
{
    return json_answer({{"status", status}, {"message", message}});
}

LoginAnswer bad_request(int http_status, const QByteArray &why)
{
    return {http_status, "text/plain; charset=utf-8", why + '\n'};
}

QString fresh_cookie()
{
    // 128 random bits from the system source, as hex.
    quint32 words[4];
    QRandomGenerator::system()->fillRange(words);
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(words), sizeof words).toHex());
}

bool is_form(const QByteArray &content_type)
{
    const QByteArray media = content_type.split(';').first().trimmed().toLower();
    return media == "application/x-www-form-urlencoded";
}

} // namespace

LoginHandler::LoginHandler(const AccountBook &accounts, const QString &accepted_version)
    : accounts(accounts), accepted_version(accepted_version)
{
}

LoginAnswer LoginHandler::answer(const QByteArray &content_type, const QByteArray &body) const
{
    if (!is_form(content_type))
        return bad_request(415, "the login wants an application/x-www-form-urlencoded body");
    QHash<QString, QString> form;
    if (!decode_form(body, &form))
        return bad_request(400, "malformed form body");
    for (const char *key : {"username", "password", "version"}) {
        if (!form.contains(QLatin1String(key)))
            return bad_request(400, QByteArray("missing field: ") + key);
    }

    if (form.value(QStringLiteral("version")) != accepted_version)
        return refusal(STATUS_OLD_LAUNCHER,
                       QStringLiteral("This launcher is out of date. Please download the "
                                      "current launcher."));
    const Account *account = accounts.find(form.value(QStringLiteral("username")));
    if (!account || account->password != form.value(QStringLiteral("password")))
        return refusal(STATUS_BAD_CREDENTIALS, QStringLiteral("Incorrect username or password."));
    if (!account->two_step_token.isEmpty()) {
        const QString token = form.value(QStringLiteral("gtoken"));
        if (token.isEmpty())
            return refusal(STATUS_TWO_STEP,
                           QStringLiteral("This account needs its two-step token."));
        if (token != account->two_step_token)
            return refusal(STATUS_TWO_STEP, QStringLiteral("The two-step token is not valid."));
    }
    return json_answer({{"status", STATUS_ACCEPTED},
                        {"token", account->cookie.isEmpty() ? fresh_cookie() : account->cookie},
                        {"gameserver", account->gameserver},
                        {"dist", account->dist}});
}
