// Answers of the account service, read by LoginClient::parse_response. An
// answer with status 3 would open the two-step dialog and log in again over
// the network, so such inputs are passed over here; every other answer ends
// in a result. Holds: no crash, no sanitizer report (integer overflow
// included), and the result agrees with the answer: 901 exactly when there
// is no status, success exactly for status 7, and a code of 500 + status.
#include "fuzz_sandbox.h"

#include "login/login_client.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>
#include <limits>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const QByteArray body(reinterpret_cast<const char *>(data), int(size));
    const QJsonObject answer = QJsonDocument::fromJson(body).object();
    const bool has_status = answer.contains(QLatin1String("status"));
    if (has_status && answer.value(QLatin1String("status")).toInt(0) == 3)
        return 0;

    LoginClient client(QUrl(QStringLiteral("https://127.0.0.1:1/login/")));
    const LoginResult result = client.parse_response(body);
    if (!has_status) {
        if (result.code != 901 || result.success || result.text != TEXT_INVALID_RESPONSE)
            fuzz_fail("an answer without status did not give 901");
        return 0;
    }
    const qint64 status = answer.value(QLatin1String("status")).toInt(0);
    if (status + 500 <= std::numeric_limits<int>::max() && result.code != status + 500)
        fuzz_fail("the code is not 500 + status");
    if (result.success != (result.code == 507))
        fuzz_fail("success and code disagree");
    if (!result.success && (!result.game_server.isEmpty() || !result.dist.isEmpty()))
        fuzz_fail("a refusal carries session values");
    if (client.username != QLatin1String("") || client.password != QLatin1String(""))
        fuzz_fail("credentials left behind");
    return 0;
}
