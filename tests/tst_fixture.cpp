#include "blocking_fetch.h"
#include "bz2_util.h"
#include "https_fixture.h"

#include <bzlib.h>

#include <QDir>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

#include <memory>

namespace {

FixtureResponse answer(const QByteArray &body)
{
    FixtureResponse r;
    r.body = body;
    return r;
}

QByteArray counting_body(int size)
{
    QByteArray body;
    for (int i = 0; body.size() < size; ++i)
        body += QByteArray::number(i) + ',';
    return body.left(size);
}

} // namespace

class TestFixture : public QObject
{
    Q_OBJECT

private slots:
    void routed_answers_arrive_as_scripted_data();
    void routed_answers_arrive_as_scripted();
    void request_is_recorded_with_headers_and_body();
    void unrouted_path_answers_404_and_is_recorded();
    void chunked_body_has_no_content_length();
    void close_mid_body_fails_the_transfer_data();
    void close_mid_body_fails_the_transfer();
    void stall_holds_the_body_until_stop();
    void timed_stall_and_delay_complete_the_body();
    void trickle_sends_the_body_in_pieces();
    void stalled_answers_do_not_block_other_requests();
    void fetch_from_pool_thread_with_local_event_loop();
    void two_fixtures_are_trusted_side_by_side();
    void directory_serves_files_and_refuses_traversal_data();
    void directory_serves_files_and_refuses_traversal();
    void stopped_fixture_refuses_connections();
    void bz2_compress_makes_one_readable_stream();
};

void TestFixture::routed_answers_arrive_as_scripted_data()
{
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QNetworkReply::NetworkError>("error");
    QTest::newRow("get ok") << QByteArray("GET") << 200 << QByteArray("{\"a\":1}")
                            << QNetworkReply::NoError;
    QTest::newRow("post ok") << QByteArray("POST") << 200 << QByteArray("done")
                             << QNetworkReply::NoError;
    QTest::newRow("empty body") << QByteArray("GET") << 200 << QByteArray()
                                << QNetworkReply::NoError;
    QTest::newRow("server error") << QByteArray("GET") << 500 << QByteArray("{\"status\":7}")
                                  << QNetworkReply::InternalServerError;
}

void TestFixture::routed_answers_arrive_as_scripted()
{
    QFETCH(QByteArray, method);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QNetworkReply::NetworkError, error);
    HttpsFixture fixture;
    QVERIFY(fixture.start());
    FixtureResponse r = answer(body);
    r.status = status;
    r.headers = {{"Content-Type", "application/json"}, {"X-Extra", "yes"}};
    fixture.route(method, "/api/", r);

    const FetchResult got = blocking_fetch(method, QUrl(fixture.base_url() + "/api/"),
                                           method == "POST" ? QByteArray("x=1") : QByteArray());
    QCOMPARE(got.error, error);
    QCOMPARE(got.status, status);
    QCOMPARE(got.body, body);
    QCOMPARE(got.header("content-type"), QByteArray("application/json"));
    QCOMPARE(got.header("X-Extra"), QByteArray("yes"));
}

void TestFixture::request_is_recorded_with_headers_and_body()
{
    HttpsFixture fixture;
    QVERIFY(fixture.start());
    fixture.route("POST", "/login/", answer("ok"));
    const QByteArray body = "username=a%20b&password=c+d&gtoken=&version=1";
    blocking_fetch(
        "POST", QUrl(fixture.base_url() + "/login/?x=1&y=a%20b"), body,
        {{"User-Agent", "Agent/1"}, {"Content-Type", "application/x-www-form-urlencoded"}});

    const QList<RecordedRequest> got = fixture.requests();
    QCOMPARE(got.size(), 1);
    QCOMPARE(got[0].method, QByteArray("POST"));
    QCOMPARE(got[0].path, QByteArray("/login/"));
    QCOMPARE(got[0].query, QByteArray("x=1&y=a%20b"));
    QCOMPARE(got[0].body, body);
    QCOMPARE(got[0].header("user-agent"), QByteArray("Agent/1"));
    QCOMPARE(got[0].header("CONTENT-TYPE"), QByteArray("application/x-www-form-urlencoded"));
    QVERIFY(got[0].header("REMOTE_ADDR").isEmpty());
    fixture.clear_requests();
    QVERIFY(fixture.requests().isEmpty());
}

void TestFixture::unrouted_path_answers_404_and_is_recorded()
{
    HttpsFixture fixture;
    QVERIFY(fixture.start());
    fixture.route("GET", "/known", answer("x"));
    const FetchResult got = blocking_fetch("GET", QUrl(fixture.base_url() + "/unknown"));
    QCOMPARE(got.status, 404);
    const FetchResult wrong_method =
        blocking_fetch("POST", QUrl(fixture.base_url() + "/known"), "b");
    QCOMPARE(wrong_method.status, 404);
    QCOMPARE(fixture.requests().size(), 2);
    QCOMPARE(fixture.requests()[0].path, QByteArray("/unknown"));
}

void TestFixture::chunked_body_has_no_content_length()
{
    HttpsFixture fixture;
    QVERIFY(fixture.start());
    FixtureResponse r = answer(counting_body(100000));
    r.chunked = true;
    fixture.route("GET", "/file", r);
    const FetchResult got = blocking_fetch("GET", QUrl(fixture.base_url() + "/file"));
    QCOMPARE(got.error, QNetworkReply::NoError);
    QCOMPARE(got.body, r.body);
    QVERIFY(got.header("Content-Length").isEmpty());
    QCOMPARE(got.header("Transfer-Encoding"), QByteArray("chunked"));
}

void TestFixture::close_mid_body_fails_the_transfer_data()
{
    QTest::addColumn<bool>("chunked");
    QTest::newRow("with length") << false;
    QTest::newRow("chunked") << true;
}

void TestFixture::close_mid_body_fails_the_transfer()
{
    QFETCH(bool, chunked);
    HttpsFixture fixture;
    QVERIFY(fixture.start());
    FixtureResponse r = answer(counting_body(50000));
    r.chunked = chunked;
    r.close_after_bytes = 1000;
    fixture.route("GET", "/file", r);
    const FetchResult got = blocking_fetch("GET", QUrl(fixture.base_url() + "/file"));
    QVERIFY(got.error != QNetworkReply::NoError);
    QVERIFY(got.body.size() <= 1000);
    QVERIFY(r.body.startsWith(got.body));
}

void TestFixture::stall_holds_the_body_until_stop()
{
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply;
    {
        HttpsFixture fixture;
        QVERIFY(fixture.start());
        FixtureResponse r = answer(counting_body(4000));
        r.stall_after_bytes = 1500; // no stall_ms: until the fixture stops
        fixture.route("GET", "/file", r);
        reply.reset(manager.get(QNetworkRequest(QUrl(fixture.base_url() + "/file"))));
        QTRY_COMPARE(reply->bytesAvailable(), qint64(1500));
        QVERIFY(!reply->isFinished());
    } // the destructor ends the stall and returns
    QTRY_VERIFY(reply->isFinished());
    QVERIFY(reply->error() != QNetworkReply::NoError);
}

void TestFixture::timed_stall_and_delay_complete_the_body()
{
    HttpsFixture fixture;
    QVERIFY(fixture.start());
    FixtureResponse r = answer(counting_body(3000));
    r.delay_before_headers_ms = 50;
    r.stall_after_bytes = 10;
    r.stall_ms = 50;
    fixture.route("GET", "/file", r);
    const FetchResult got = blocking_fetch("GET", QUrl(fixture.base_url() + "/file"));
    QCOMPARE(got.error, QNetworkReply::NoError);
    QCOMPARE(got.body, r.body);
    QCOMPARE(got.header("Content-Length"), QByteArray("3000"));
}

void TestFixture::trickle_sends_the_body_in_pieces()
{
    HttpsFixture fixture;
    QVERIFY(fixture.start());
    FixtureResponse r = answer(counting_body(400));
    r.trickle_chunk = 100;
    r.trickle_interval_ms = 30;
    fixture.route("GET", "/file", r);
    QNetworkAccessManager manager;
    std::unique_ptr<QNetworkReply> reply(
        manager.get(QNetworkRequest(QUrl(fixture.base_url() + "/file"))));
    QByteArray body;
    int pieces = 0;
    connect(reply.get(), &QNetworkReply::readyRead, this, [&] {
        body += reply->readAll();
        ++pieces;
    });
    QTRY_VERIFY(reply->isFinished());
    QCOMPARE(reply->error(), QNetworkReply::NoError);
    QCOMPARE(body + reply->readAll(), r.body);
    QVERIFY2(pieces > 1, "the body arrived in one piece");
}

void TestFixture::stalled_answers_do_not_block_other_requests()
{
    HttpsFixture fixture;
    QVERIFY(fixture.start());
    FixtureResponse stalled = answer("abcdef");
    stalled.stall_after_bytes = 2;
    fixture.route("GET", "/stall", stalled);
    fixture.route("GET", "/quick", answer("quick"));
    QNetworkAccessManager manager;
    std::vector<std::unique_ptr<QNetworkReply>> replies;
    // More stalled answers than a default worker pool of 8 threads holds; the
    // manager opens at most 6 connections per host, so use separate hosts.
    for (int i = 0; i < 12; ++i) {
        QUrl url(fixture.base_url() + "/stall");
        url.setHost(i % 2 ? "127.0.0.1" : "localhost");
        url.setQuery(QString::number(i));
        replies.emplace_back(manager.get(QNetworkRequest(url)));
    }
    QTRY_COMPARE(fixture.requests().size(), 12);
    const FetchResult got = blocking_fetch("GET", QUrl(fixture.base_url() + "/quick"));
    QCOMPARE(got.body, QByteArray("quick"));
}

void TestFixture::fetch_from_pool_thread_with_local_event_loop()
{
    HttpsFixture fixture;
    QVERIFY(fixture.start());
    fixture.route("GET", "/launcher/", answer("<p>news \xc3\xa9</p>"));
    const QUrl url(fixture.base_url() + "/launcher/");
    QFuture<FetchResult> future = QtConcurrent::run(QThreadPool::globalInstance(), [url] {
        return blocking_fetch("GET", url, QByteArray(), {{"User-Agent", "pool"}});
    });
    future.waitForFinished();
    QCOMPARE(future.result().error, QNetworkReply::NoError);
    QCOMPARE(future.result().body, QByteArray("<p>news \xc3\xa9</p>"));
    QCOMPARE(fixture.requests().value(0).header("User-Agent"), QByteArray("pool"));
}

void TestFixture::two_fixtures_are_trusted_side_by_side()
{
    HttpsFixture api, download;
    QVERIFY(api.start());
    QVERIFY(download.start());
    QVERIFY(api.port() != download.port());
    api.route("GET", "/a", answer("api"));
    download.route("GET", "/b", answer("download"));
    QCOMPARE(blocking_fetch("GET", QUrl(api.base_url() + "/a")).body, QByteArray("api"));
    QCOMPARE(blocking_fetch("GET", QUrl(download.base_url() + "/b")).body, QByteArray("download"));
}

void TestFixture::directory_serves_files_and_refuses_traversal_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("file") << "/win32/game.bin.bz2" << 200 << QByteArray("game");
    QTest::newRow("nested, encoded space") << "/win32/sub/a%20b" << 200 << QByteArray("ab");
    QTest::newRow("missing") << "/win32/none" << 404 << QByteArray("not found\n");
    QTest::newRow("folder") << "/win32/sub" << 404 << QByteArray("not found\n");
    QTest::newRow("encoded dots") << "/win32/sub/%2e%2e/%2e%2e/secret" << 404
                                  << QByteArray("not found\n");
}

void TestFixture::directory_serves_files_and_refuses_traversal()
{
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QTemporaryDir tmp;
    QVERIFY(QDir(tmp.path()).mkpath("root/sub"));
    const auto write = [&tmp](const QString &name, const QByteArray &data) {
        QFile f(tmp.filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
    };
    QVERIFY(write("root/game.bin.bz2", "game"));
    QVERIFY(write("root/sub/a b", "ab"));
    QVERIFY(write("secret", "secret"));
    HttpsFixture fixture;
    QVERIFY(fixture.start());
    fixture.serve_directory("/win32/", tmp.filePath("root"));
    const FetchResult got = blocking_fetch("GET", QUrl(fixture.base_url() + path));
    QCOMPARE(got.status, status);
    QCOMPARE(got.body, body);
}

void TestFixture::stopped_fixture_refuses_connections()
{
    HttpsFixture fixture;
    QVERIFY(fixture.start());
    fixture.route("GET", "/a", answer("a"));
    const QUrl url(fixture.base_url() + "/a");
    QCOMPARE(blocking_fetch("GET", url).body, QByteArray("a"));
    fixture.stop();
    QCOMPARE(blocking_fetch("GET", url).error, QNetworkReply::ConnectionRefusedError);
}

void TestFixture::bz2_compress_makes_one_readable_stream()
{
    const QByteArray data = counting_body(200000);
    const QByteArray packed = bz2_compress(data);
    QVERIFY(packed.startsWith("BZh9"));
    QByteArray unpacked(data.size() + 1, '\0');
    unsigned int size = static_cast<unsigned int>(unpacked.size());
    QCOMPARE(BZ2_bzBuffToBuffDecompress(unpacked.data(), &size, const_cast<char *>(packed.data()),
                                        static_cast<unsigned int>(packed.size()), 0, 0),
             BZ_OK);
    QCOMPARE(unpacked.left(static_cast<int>(size)), data);
}

QTEST_GUILESS_MAIN(TestFixture)
#include "tst_fixture.moc"
