#include "app/tls_setup.h"
#include "blocking_fetch.h"
#include "test_files.h"
#include "test_paths.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QtTest>

#include "app/version.h"

namespace {

const QByteArray FORM_TYPE = "application/x-www-form-urlencoded";
// A detached manifest signature is 64 raw bytes, line ends and NULs included.
const QByteArray SIGNATURE = QByteArray("\r\n\0\x80sig", 7).repeated(9).left(64);

QString devservice_program()
{
    return QDir(bin_dir()).filePath(QStringLiteral("devservice"));
}

} // namespace

class TestDevservice : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void login_answers_data();
    void login_answers();
    void malformed_login_is_refused_data();
    void malformed_login_is_refused();
    void each_login_gets_a_fresh_cookie();
    void files_are_served_inside_their_folder_only_data();
    void files_are_served_inside_their_folder_only();
    void served_file_has_content_length_and_ranges();
    void range_answers_data();
    void range_answers();
    void oversized_body_is_refused_and_service_keeps_serving();
    void chunked_body_over_the_limit_is_refused();
    void trickling_clients_do_not_block_a_login();
    void news_page_is_utf8_html();
    void every_request_is_logged();
    void help_documents_every_flag();
    void init_certs_keeps_an_existing_ca();
    void sigterm_stops_cleanly();

private:
    QUrl url(const QString &path) const { return QUrl(base + path); }
    QByteArray raw_exchange(const QByteArray &request);
    FetchResult login(const QByteArray &body)
    {
        return blocking_fetch("POST", url("/login/"), body, {{"Content-Type", FORM_TYPE}});
    }

    QTemporaryDir tmp;
    QProcess service;
    QString base;
    quint16 port = 0;
    QByteArray ca;
    QByteArray log;
};

void TestDevservice::initTestCase()
{
    QVERIFY(tmp.isValid());
    QDir dir(tmp.path());
    QVERIFY(dir.mkpath("serve/sub") && dir.mkpath("qa"));
    QVERIFY(write_file(dir.filePath("serve/patcher.json"), "{\"exec\":\"orvex.exe\"}"));
    QVERIFY(write_file(dir.filePath("serve/sub/a b.bz2"), "nested"));
    QVERIFY(write_file(dir.filePath("serve/patcher.json.sig"), SIGNATURE));
    QVERIFY(write_file(dir.filePath("qa/patcher.json"), "qa manifest"));
    QVERIFY(write_file(dir.filePath("secret"), "secret"));
    QVERIFY(QFile::link(dir.filePath("secret"), dir.filePath("serve/escape")));
    QByteArray big(300000, '\0');
    for (int i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 % 251);
    QVERIFY(write_file(dir.filePath("serve/big.bin"), big));

    // The demo accounts plus one whose password needs "+" decoded correctly.
    const QString example = QDir(source_dir()).filePath("devservice/accounts.example.json");
    QJsonObject accounts = QJsonDocument::fromJson(read_file(example)).object();
    QJsonArray list = accounts.value("accounts").toArray();
    QVERIFY(list.size() >= 3);
    list.append(QJsonObject {
        {"username", "plus"}, {"password", "a+b c"}, {"gameserver", "gs:1"}, {"dist", "prod"}});
    accounts.insert("accounts", list);
    QVERIFY(write_file(dir.filePath("accounts.json"), QJsonDocument(accounts).toJson()));

    service.setProgram(devservice_program());
    service.setArguments({"--port", "0", "--state", dir.filePath("state"), "--accounts",
                          dir.filePath("accounts.json"), "--serve", dir.filePath("serve"), "--dist",
                          "qa=" + dir.filePath("qa")});
    connect(&service, &QProcess::readyReadStandardError, this,
            [this] { log += service.readAllStandardError(); });
    service.start();
    QVERIFY2(service.waitForStarted(), qPrintable(service.errorString()));
    const QRegularExpression listening("https://127\\.0\\.0\\.1:(\\d+)/");
    QTRY_VERIFY_WITH_TIMEOUT(service.canReadLine() || service.state() != QProcess::Running, 20000);
    const QString line = QString::fromUtf8(service.readLine());
    const QRegularExpressionMatch m = listening.match(line);
    QVERIFY2(m.hasMatch(), qPrintable(line + log));
    port = m.captured(1).toUShort();
    base = QStringLiteral("https://127.0.0.1:%1").arg(port);
    ca = read_file(dir.filePath("state/ca.pem"));
    QVERIFY(ca.contains("BEGIN CERTIFICATE"));
    trust_additional_ca(ca);
}

void TestDevservice::login_answers_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("dist");
    const QByteArray v = "&version=" ORVEX_LAUNCHER_VERSION;
    QTest::newRow("accepted") << "username=player&password=salt&gtoken=" + v << 7 << "prod";
    QTest::newRow("accepted, other dist") << "username=qa&password=tester&gtoken=" + v << 7 << "qa";
    QTest::newRow("wrong password") << "username=player&password=salty&gtoken=" + v << 1 << "";
    QTest::newRow("unknown user") << "username=nobody&password=salt&gtoken=" + v << 1 << "";
    QTest::newRow("two-step, no token")
        << "username=guarded&password=pepper&gtoken=" + v << 3 << "";
    QTest::newRow("two-step, wrong token")
        << "username=guarded&password=pepper&gtoken=111111" + v << 3 << "";
    QTest::newRow("two-step, right token")
        << "username=guarded&password=pepper&gtoken=246810" + v << 7 << "prod";
    QTest::newRow("other launcher version")
        << QByteArray("username=player&password=salt&gtoken=&version=1.3.9") << 4 << "";
    QTest::newRow("%2B is a plus, %20 a space")
        << "username=plus&password=a%2Bb%20c&gtoken=" + v << 7 << "prod";
    QTest::newRow("+ is a space") << "username=plus&password=a%2Bb+c&gtoken=" + v << 7 << "prod";
    QTest::newRow("a plain + is no plus") << "username=plus&password=a+b+c&gtoken=" + v << 1 << "";
}

void TestDevservice::login_answers()
{
    QFETCH(QByteArray, body);
    QFETCH(int, status);
    QFETCH(QString, dist);
    const FetchResult got = login(body);
    QCOMPARE(got.status, 200);
    QCOMPARE(got.header("Content-Type"), QByteArray("application/json"));
    const QJsonObject answer = QJsonDocument::fromJson(got.body).object();
    QCOMPARE(answer.value("status").toVariant(), QVariant(qlonglong(status)));
    QVERIFY(answer.value("status").isDouble());
    if (status == 7) {
        QVERIFY(!answer.value("token").toString().isEmpty());
        QVERIFY(!answer.value("gameserver").toString().isEmpty());
        QCOMPARE(answer.value("dist").toString(), dist);
        QVERIFY(!answer.contains("message"));
    } else {
        QVERIFY(!answer.value("message").toString().isEmpty());
        QVERIFY(!answer.contains("token"));
    }
}

void TestDevservice::malformed_login_is_refused_data()
{
    QTest::addColumn<QByteArray>("content_type");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("http_status");
    const QByteArray ok = "username=player&password=salt&gtoken=&version=" ORVEX_LAUNCHER_VERSION;
    QTest::newRow("bad escape") << FORM_TYPE
                                << QByteArray("username=pl%zzayer&password=salt"
                                              "&gtoken=&version=" ORVEX_LAUNCHER_VERSION)
                                << 400;
    QTest::newRow("cut escape") << FORM_TYPE << ok + "%4" << 400;
    QTest::newRow("not utf-8") << FORM_TYPE << ok + "&x=%ff%fe" << 400;
    QTest::newRow("missing version")
        << FORM_TYPE << QByteArray("username=player&password=salt&gtoken=") << 400;
    QTest::newRow("field twice") << FORM_TYPE << ok + "&password=other" << 400;
    QTest::newRow("json body") << QByteArray("application/json") << QByteArray("{}") << 415;
}

void TestDevservice::malformed_login_is_refused()
{
    QFETCH(QByteArray, content_type);
    QFETCH(QByteArray, body);
    QFETCH(int, http_status);
    const FetchResult got =
        blocking_fetch("POST", url("/login/"), body, {{"Content-Type", content_type}});
    QCOMPARE(got.status, http_status);
    QVERIFY(!got.body.contains("token"));
}

void TestDevservice::each_login_gets_a_fresh_cookie()
{
    const QByteArray body = "username=player&password=salt&gtoken=&version=" ORVEX_LAUNCHER_VERSION;
    const QString first =
        QJsonDocument::fromJson(login(body).body).object().value("token").toString();
    const QString second =
        QJsonDocument::fromJson(login(body).body).object().value("token").toString();
    QVERIFY(QRegularExpression("^[0-9a-f]{32}$").match(first).hasMatch());
    QVERIFY(first != second);
}

QByteArray TestDevservice::raw_exchange(const QByteArray &request)
{
    // Exact bytes on the wire: a Qt client would normalise ".." away.
    QSslSocket socket;
    QSslConfiguration config = socket.sslConfiguration();
    config.setCaCertificates(QSslCertificate::fromData(ca));
    socket.setSslConfiguration(config);
    socket.connectToHostEncrypted("127.0.0.1", port);
    if (!socket.waitForEncrypted(20000))
        return "no connection: " + socket.errorString().toUtf8();
    socket.write(request);
    QByteArray answer;
    while (socket.waitForReadyRead(20000))
        answer += socket.readAll();
    return answer + socket.readAll();
}

void TestDevservice::files_are_served_inside_their_folder_only_data()
{
    QTest::addColumn<QByteArray>("path");
    QTest::addColumn<QByteArray>("status_line");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("manifest") << QByteArray("/win32/patcher.json") << QByteArray("200")
                              << QByteArray("{\"exec\":\"orvex.exe\"}");
    QTest::newRow("manifest signature, raw bytes")
        << QByteArray("/win32/patcher.json.sig") << QByteArray("200") << SIGNATURE;
    QTest::newRow("nested, encoded space")
        << QByteArray("/win32/sub/a%20b.bz2") << QByteArray("200") << QByteArray("nested");
    QTest::newRow("distribution") << QByteArray("/dist/qa/win64/patcher.json") << QByteArray("200")
                                  << QByteArray("qa manifest");
    QTest::newRow("missing") << QByteArray("/win32/none.bz2") << QByteArray("404") << QByteArray();
    QTest::newRow("unknown distribution")
        << QByteArray("/dist/beta/win64/patcher.json") << QByteArray("404") << QByteArray();
    QTest::newRow("folder, no listing")
        << QByteArray("/win32/sub/") << QByteArray("404") << QByteArray();
    QTest::newRow("raw dots") << QByteArray("/win32/../secret") << QByteArray("400")
                              << QByteArray();
    QTest::newRow("encoded dots") << QByteArray("/win32/%2e%2e/secret") << QByteArray("400")
                                  << QByteArray();
    QTest::newRow("encoded dots and slash")
        << QByteArray("/win32/sub%2F%2E%2E%2F..%2fsecret") << QByteArray("400") << QByteArray();
    QTest::newRow("dist climbing out")
        << QByteArray("/dist/qa/win64/../../../secret") << QByteArray("400") << QByteArray();
    QTest::newRow("symlink leaving the folder")
        << QByteArray("/win32/escape") << QByteArray("404") << QByteArray();
    QTest::newRow("bad escape") << QByteArray("/win32/%zz") << QByteArray("400") << QByteArray();
}

void TestDevservice::files_are_served_inside_their_folder_only()
{
    QFETCH(QByteArray, path);
    QFETCH(QByteArray, status_line);
    QFETCH(QByteArray, body);
    const QByteArray answer = raw_exchange("GET " + path +
                                           " HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                                           "Connection: close\r\n\r\n");
    QVERIFY2(answer.startsWith("HTTP/1.1 " + status_line + " "), answer.left(200));
    QVERIFY(!answer.contains("secret"));
    if (!body.isEmpty())
        QVERIFY(answer.endsWith("\r\n\r\n" + body));
}

void TestDevservice::served_file_has_content_length_and_ranges()
{
    const QByteArray big = read_file(tmp.filePath("serve/big.bin"));
    const FetchResult got = blocking_fetch("GET", url("/win32/big.bin"));
    QCOMPARE(got.status, 200);
    QCOMPARE(got.header("Content-Length"), QByteArray::number(big.size()));
    QVERIFY(got.body == big);
    const FetchResult part = blocking_fetch("GET", url("/win32/big.bin"), QByteArray(),
                                            {{"Range", "bytes=70000-70009"}});
    QCOMPARE(part.status, 206);
    QVERIFY(part.body == big.mid(70000, 10));
}

void TestDevservice::range_answers_data()
{
    QTest::addColumn<QByteArray>("range");
    QTest::addColumn<QByteArray>("if_range"); // "etag", "date", or a literal value
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("from"); // first byte of the body, -1 for no body
    QTest::newRow("resume") << QByteArray("bytes=299990-") << QByteArray() << 206 << 299990;
    QTest::newRow("resume, same tag")
        << QByteArray("bytes=299990-") << QByteArray("etag") << 206 << 299990;
    QTest::newRow("resume, same date")
        << QByteArray("bytes=299990-") << QByteArray("date") << 206 << 299990;
    QTest::newRow("resume, other tag")
        << QByteArray("bytes=299990-") << QByteArray("\"0-0\"") << 200 << 0;
    QTest::newRow("far past the end")
        << QByteArray("bytes=99999999999-") << QByteArray() << 416 << -1;
    QTest::newRow("at the end") << QByteArray("bytes=300000-") << QByteArray() << 416 << -1;
    QTest::newRow("empty suffix") << QByteArray("bytes=-0") << QByteArray() << 416 << -1;
}

// What a resuming download relies on: 206 from where it asks, the whole file
// when its copy is stale, and 416 (never a made-up length) past the end.
void TestDevservice::range_answers()
{
    QFETCH(QByteArray, range);
    QFETCH(QByteArray, if_range);
    QFETCH(int, status);
    QFETCH(int, from);
    const QByteArray big = read_file(tmp.filePath("serve/big.bin"));
    const FetchResult whole = blocking_fetch("GET", url("/win32/big.bin"));
    QVERIFY(!whole.header("ETag").isEmpty() && !whole.header("Last-Modified").isEmpty());
    if (if_range == "etag")
        if_range = whole.header("ETag");
    else if (if_range == "date")
        if_range = whole.header("Last-Modified");
    QList<QPair<QByteArray, QByteArray>> headers {{"Range", range}};
    if (!if_range.isEmpty())
        headers.append({"If-Range", if_range});
    const FetchResult got = blocking_fetch("GET", url("/win32/big.bin"), QByteArray(), headers);
    QCOMPARE(got.status, status);
    if (from < 0) {
        QCOMPARE(got.header("Content-Range"), QByteArray("bytes */300000"));
        return;
    }
    QVERIFY(got.body == big.mid(from));
    QCOMPARE(got.header("Content-Length"), QByteArray::number(big.size() - from));
}

void TestDevservice::oversized_body_is_refused_and_service_keeps_serving()
{
    const QByteArray body(64 * 1024 + 1, 'a');
    const QByteArray answer =
        raw_exchange("POST /login/ HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                     "Content-Type: application/x-www-form-urlencoded\r\n"
                     "Content-Length: " +
                     QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
    QVERIFY2(answer.startsWith("HTTP/1.1 413 "), answer.left(200));
    const FetchResult got =
        login("username=player&password=salt&gtoken=&version=" ORVEX_LAUNCHER_VERSION);
    QCOMPARE(QJsonDocument::fromJson(got.body).object().value("status").toInt(), 7);
}

void TestDevservice::chunked_body_over_the_limit_is_refused()
{
    QByteArray request = "POST /login/ HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                         "Content-Type: application/x-www-form-urlencoded\r\n"
                         "Transfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
    for (int i = 0; i < 80; ++i)
        request += "400\r\n" + QByteArray(1024, 'a') + "\r\n";
    const QByteArray answer = raw_exchange(request + "0\r\n\r\n");
    QVERIFY2(answer.startsWith("HTTP/1.1 413 "), answer.left(200));
    const FetchResult got =
        login("username=player&password=salt&gtoken=&version=" ORVEX_LAUNCHER_VERSION);
    QCOMPARE(QJsonDocument::fromJson(got.body).object().value("status").toInt(), 7);
}

// More slow clients than the service ever had workers, half of them still in
// the TLS handshake: a login is answered while they trickle, and the service
// hangs up on each of them.
void TestDevservice::trickling_clients_do_not_block_a_login()
{
    std::vector<std::unique_ptr<QTcpSocket>> slow;
    for (int i = 0; i < 40; ++i) {
        slow.emplace_back(i % 2 ? new QSslSocket : new QTcpSocket);
        if (auto *tls = qobject_cast<QSslSocket *>(slow.back().get())) {
            QSslConfiguration config = tls->sslConfiguration();
            config.setCaCertificates(QSslCertificate::fromData(ca));
            tls->setSslConfiguration(config);
            tls->connectToHostEncrypted("127.0.0.1", port);
            QVERIFY(tls->waitForEncrypted(20000));
        } else {
            slow.back()->connectToHost("127.0.0.1", port);
            QVERIFY(slow.back()->waitForConnected(20000));
        }
    }
    QTimer trickle;
    QObject::connect(&trickle, &QTimer::timeout, [&] {
        for (auto &socket : slow) {
            if (socket->state() == QAbstractSocket::ConnectedState)
                socket->write(qobject_cast<QSslSocket *>(socket.get()) ? "G" : "\x16");
        }
    });
    trickle.start(1000);
    const FetchResult got =
        login("username=player&password=salt&gtoken=&version=" ORVEX_LAUNCHER_VERSION);
    QCOMPARE(QJsonDocument::fromJson(got.body).object().value("status").toInt(), 7);
    QTRY_VERIFY_WITH_TIMEOUT(std::all_of(slow.begin(), slow.end(),
                                         [](const std::unique_ptr<QTcpSocket> &socket) {
                                             return socket->state() ==
                                                 QAbstractSocket::UnconnectedState;
                                         }),
                             60000);
}

void TestDevservice::news_page_is_utf8_html()
{
    const FetchResult got = blocking_fetch("GET", url("/launcher/"));
    QCOMPARE(got.status, 200);
    QCOMPARE(got.header("Content-Type"), QByteArray("text/html; charset=utf-8"));
    QCOMPARE(got.body, read_file(QDir(source_dir()).filePath("devservice/news.html")));
    const QString text = QString::fromUtf8(got.body);
    QCOMPARE(text.toUtf8(), got.body); // valid UTF-8
    QVERIFY(std::any_of(text.begin(), text.end(), [](QChar c) { return c.unicode() > 0x7f; }));
    QVERIFY(text.contains("href=\"https://"));
}

void TestDevservice::every_request_is_logged()
{
    blocking_fetch("GET", url("/win32/patcher.json?probe=1"));
    blocking_fetch("GET", url("/win32/absent.bz2"));
    QTRY_VERIFY(log.contains("GET /win32/patcher.json?probe=1 200 20\n"));
    QTRY_VERIFY(log.contains("GET /win32/absent.bz2 404 "));
}

void TestDevservice::help_documents_every_flag()
{
    QProcess help;
    help.start(devservice_program(), {"--help"});
    QVERIFY(help.waitForFinished(20000));
    QCOMPARE(help.exitCode(), 0);
    const QByteArray text = help.readAllStandardOutput();
    for (const char *flag : {"--port", "--state", "--accounts", "--news", "--serve", "--dist",
                             "--init-certs", "--help"})
        QVERIFY2(text.contains(flag), flag);
    QProcess bad;
    bad.start(devservice_program(), {"--dist", "no-folder-given"});
    QVERIFY(bad.waitForFinished(20000));
    QCOMPARE(bad.exitCode(), 2);
}

void TestDevservice::init_certs_keeps_an_existing_ca()
{
    const QString state = tmp.filePath("fresh-state");
    QByteArray first_ca;
    for (int run = 0; run < 2; ++run) {
        QProcess init;
        init.start(devservice_program(), {"--state", state, "--init-certs"});
        QVERIFY(init.waitForFinished(20000));
        QCOMPARE(init.exitCode(), 0);
        const QString printed = QString::fromUtf8(init.readAllStandardOutput()).trimmed();
        QCOMPARE(QFileInfo(printed).canonicalFilePath(),
                 QFileInfo(state + "/ca.pem").canonicalFilePath());
        if (run == 0)
            first_ca = read_file(printed);
        QCOMPARE(read_file(printed), first_ca);
    }
    for (const char *key : {"ca.key", "server.key"}) {
        QCOMPARE(QFile::permissions(state + "/" + key) & 0x0077, QFileDevice::Permissions());
        QVERIFY(read_file(state + "/" + key).contains("PRIVATE KEY"));
    }
}

void TestDevservice::sigterm_stops_cleanly()
{
    service.terminate();
    QVERIFY(service.waitForFinished(20000));
    QCOMPARE(service.exitStatus(), QProcess::NormalExit);
    QCOMPARE(service.exitCode(), 0);
    QVERIFY(log.contains("devservice: stopped"));
}

QTEST_GUILESS_MAIN(TestDevservice)
#include "tst_devservice.moc"
