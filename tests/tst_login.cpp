#include "app/constants.h"
#include "app/version.h"
#include "transfer/downloader.h"
#include "transfer/file_sink.h"
#include "login/login_client.h"
#include "support/https_fixture.h"

#include <QApplication>
#include <QInputDialog>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrlQuery>
#include <QtTest>

#include <algorithm>
#include <atomic>
#include <memory>

namespace {

// Decodes one field of a form body as the service's form decoder does: "+" is
// a space, then percent escapes are resolved.
QString form_value(QByteArray body, const QString &key)
{
    body.replace('+', ' ');
    return QUrlQuery(QString::fromUtf8(body)).queryItemValue(key, QUrl::FullyDecoded);
}

QString describe(const LoginResult &r)
{
    return QStringList {r.success ? "ok" : "refused", QString::number(r.code), r.text,
                        r.game_server, r.dist}
        .join('|');
}

// Answers each visible QInputDialog with the next planned token; a null
// token (or none left) cancels. Records what every prompt showed.
class TokenDialogDriver : public QObject
{
public:
    explicit TokenDialogDriver(QStringList planned) : tokens(std::move(planned))
    {
        connect(&timer, &QTimer::timeout, this, [this] {
            for (QWidget *widget : QApplication::topLevelWidgets()) {
                auto *dialog = qobject_cast<QInputDialog *>(widget);
                if (!dialog || !dialog->isVisible())
                    continue;
                prompts << QStringList {dialog->windowTitle(), dialog->labelText(),
                                        QString::number(dialog->textEchoMode())}
                               .join('|');
                const QString token = tokens.isEmpty() ? QString() : tokens.takeFirst();
                dialog->setTextValue(token);
                if (token.isNull())
                    dialog->reject();
                else
                    dialog->accept();
            }
        });
        timer.start(10);
    }
    QStringList prompts;

private:
    QStringList tokens;
    QTimer timer;
};

} // namespace

class TestLogin : public QObject
{
    Q_OBJECT

    std::unique_ptr<HttpsFixture> fixture;
    LoginClient client {QUrl()};

    // Serves the bodies in turn (the last one repeats) and logs in once.
    LoginResult login_against(const QList<QByteArray> &bodies, int http_status = 200,
                              const QString &name = "demo", const QString &password = "secret")
    {
        auto served = std::make_shared<std::atomic<int>>(0);
        fixture->route("POST", "/login/", [=](const RecordedRequest &) {
            FixtureResponse response;
            response.status = http_status;
            response.headers = {{"Content-Type", "application/json"}};
            response.body = bodies.at(std::min(served->fetch_add(1), int(bodies.size()) - 1));
            return response;
        });
        return client.login(name, password, QString());
    }

private slots:
    void init()
    {
        fixture = std::make_unique<HttpsFixture>();
        QVERIFY(fixture->start());
        client = LoginClient(QUrl(fixture->base_url() + "/login/"));
    }
    void cleanup()
    {
        fixture.reset();
        // Whatever the outcome, no exchange leaves credentials behind.
        QVERIFY(client.username.isEmpty() && client.password.isEmpty());
    }

    void wire_format_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QByteArray>("fields");
        QTest::newRow("plain") << "demo"
                               << "secret" << QByteArray("username=demo&password=secret");
        QTest::newRow("space & +")
            << "ann lee"
            << "a b&c+d" << QByteArray("username=ann%20lee&password=a%20b%26c%2Bd");
        QTest::newRow("= #") << "x=y"
                             << "#1" << QByteArray("username=x%3Dy&password=%231");
        QTest::newRow("UTF-8") << QString::fromUtf8("J\xC3\xB8rn")
                               << QString::fromUtf8("\xE2\x82\xAC")
                               << QByteArray("username=J%C3%B8rn&password=%E2%82%AC");
        QTest::newRow("%") << "100%"
                           << "%41" << QByteArray("username=100%25&password=%2541");
    }
    void wire_format()
    {
        QFETCH(QString, name);
        QFETCH(QString, password);
        QFETCH(QByteArray, fields);
        login_against({R"({"status": 1})"}, 200, name, password);

        QCOMPARE(fixture->requests().size(), 1);
        const RecordedRequest request = fixture->requests().first();
        QCOMPARE(request.method + " " + request.path, QByteArray("POST /login/"));
        QCOMPARE(request.header("User-Agent"), USER_AGENT.toUtf8());
        QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
        QCOMPARE(request.body, fields + "&gtoken=&version=" ORVEX_LAUNCHER_VERSION);
    }

    void plus_and_percent_escape_in_password_reach_service_unchanged()
    {
        const QString password = QStringLiteral("p+ss %41%2B&=#");
        login_against({R"({"status": 1})"}, 200, "demo", password);
        QCOMPARE(form_value(fixture->requests().first().body, "password"), password);
    }

    void result_codes_data()
    {
        QTest::addColumn<int>("http_status");
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("expected");
        const auto row = [](const char *name, int http, const char *answer,
                            const QString &expected) {
            QTest::newRow(name) << http << QByteArray(answer) << expected;
        };
        const QString invalid = "refused|901|" + TEXT_INVALID_RESPONSE + "||";
        const QString unreachable = "refused|900|" + TEXT_CONNECT_FAILED + "||";
        row("token", 200, R"({"status":7,"token":"c","gameserver":"gs:1","dist":"qa"})",
            "ok|507|c|gs:1|qa");
        row("no token", 200, R"({"status":7,"message":"hi","gameserver":"g","dist":"d"})",
            "ok|507|hi||");
        row("bare 7", 200, R"({"status":7})", "ok|507|||");
        row("\"7\"", 200, R"({"status":"7","token":"c","message":"m"})", "refused|500|m||");
        row("refused", 200, R"({"status":1,"message":"Bad password"})",
            "refused|501|Bad password||");
        row("message not text", 200, R"({"status":4,"message":12})", "refused|504|||");
        row("empty body", 200, "", invalid);
        row("not JSON", 200, "<html>status</html>", invalid);
        row("no status", 200, R"({"token":"c","message":"m"})", invalid);
        row("HTTP 500", 500, R"({"status":7,"token":"c"})", unreachable);
    }
    void result_codes()
    {
        QFETCH(int, http_status);
        QFETCH(QByteArray, answer);
        QTEST(describe(login_against({answer}, http_status)), "expected");
        QCOMPARE(fixture->requests().size(), 1);
    }

    void two_step_data()
    {
        QTest::addColumn<QList<QByteArray>>("answers");
        QTest::addColumn<QStringList>("tokens"); // null: cancel the dialog
        QTest::addColumn<QString>("expected");
        QTest::addColumn<int>("request_count");
        QTest::newRow("cancelled: no second request")
            << QList<QByteArray> {R"({"status":3,"message":"Token?"})"} << QStringList {QString()}
            << "refused|503|Token?||" << 1;
        // 507 passes through unchanged, not 500 + 507.
        QTest::newRow("confirmed empty")
            << QList<QByteArray> {R"({"status":3})",
                                  R"({"status":7,"token":"t","gameserver":"g","dist":"d"})"}
            << QStringList {""} << "ok|507|t|g|d" << 2;
        QTest::newRow("twice") << QList<QByteArray> {R"({"status":3})", R"({"status":3})",
                                                     R"({"status":2,"message":"no"})"}
                               << QStringList {"111", "22 2"} << "refused|502|no||" << 3;
    }
    void two_step()
    {
        QFETCH(QStringList, tokens);
        QFETCH(QList<QByteArray>, answers);
        TokenDialogDriver driver(tokens);
        QTEST(describe(login_against(answers, 200, "ann lee", "a+b")), "expected");

        const QList<RecordedRequest> requests = fixture->requests();
        QCOMPARE(driver.prompts.size(), tokens.size());
        QTEST(int(requests.size()), "request_count");
        for (const QString &prompt : driver.prompts)
            QCOMPARE(prompt, "Two step required|Please provide your two step login token:|0");
        tokens.prepend(QString());
        for (int i = 0; i < requests.size(); ++i) {
            QCOMPARE(form_value(requests.at(i).body, "username"), QString("ann lee"));
            QCOMPARE(form_value(requests.at(i).body, "password"), QString("a+b"));
            QCOMPARE(form_value(requests.at(i).body, "gtoken"), tokens.at(i));
        }
    }

    void stopped_server_gives_900()
    {
        fixture->stop();
        QCOMPARE(describe(client.login("demo", "secret", "")),
                 "refused|900|" + TEXT_CONNECT_FAILED + "||");
    }

    void stalled_server_ends_with_900()
    {
        FixtureResponse stalled;
        stalled.body = R"({"status":7,"token":"c"})";
        stalled.stall_after_bytes = 2;
        stalled.stall_ms = 15000; // bounded: without a time-out the test fails, not hangs
        fixture->route("POST", "/login/", stalled);
        client.transfer_timeout_ms = 300;
        QCOMPARE(client.login("demo", "secret", "").code, 900);
    }

    // A cookie the login answer sets goes nowhere: neither a download on the
    // same connection manager nor the next login carries it back.
    void cookies_are_never_sent_back()
    {
        FixtureResponse answer;
        answer.headers = {{"Content-Type", "application/json"},
                          {"Set-Cookie", "session=s3cr3t; Path=/"},
                          {"Set-Cookie", "tracker=1; Domain=127.0.0.1; Path=/; Max-Age=3600"}};
        answer.body = R"({"status":7,"token":"play"})";
        fixture->route("POST", "/login/", answer);
        fixture->route("GET", "/files/notes.txt.bz2", FixtureResponse {200, {}, "notes"});
        QVERIFY(client.login("demo", "secret", "").success);
        QTemporaryDir folder;
        TransferRequest notes;
        notes.url = QUrl(fixture->base_url() + "/files/notes.txt.bz2");
        FileSink sink(folder.filePath("notes.txt"));
        UpdateFailure failure;
        Downloader(notes, sink).download(failure);
        QVERIFY(client.login("demo", "secret", "").success);

        const QList<RecordedRequest> requests = fixture->requests();
        QCOMPARE(requests.size(), 3);
        for (const RecordedRequest &request : requests)
            QCOMPARE(request.header("Cookie"), QByteArray());
    }
};

QTEST_MAIN(TestLogin)
#include "tst_login.moc"
