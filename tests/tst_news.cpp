#include "app/constants.h"
#include "news/news_display.h"
#include "support/https_fixture.h"

#include <QThread>
#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

#include <memory>

class TestNews : public QObject
{
    Q_OBJECT

    std::unique_ptr<HttpsFixture> fixture;

private slots:
    void init()
    {
        fixture = std::make_unique<HttpsFixture>();
        QVERIFY(fixture->start());
    }
    void cleanup() { fixture.reset(); }

    void fetch_data()
    {
        QTest::addColumn<QString>("server"); // "answers", "stalls" or "stopped"
        QTest::addColumn<int>("http_status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("payload");

        const QByteArray failed = TEXT_CANNOT_DISPLAY_NEWS.toUtf8();
        const QByteArray page("<html><body><h1>Patch day</h1></body></html>");
        const QByteArray utf8("<p>Gr\xC3\xBC\xC3\x9F"
                              "e \xE2\x82\xAC \xF0\x9F\x8E\xAE</p>");
        const QByteArray with_nul("<p>before</p>\0<p>after</p>", 26);

        QTest::newRow("page") << "answers" << 200 << page << page;
        QTest::newRow("unreachable") << "stopped" << 200 << page << failed;
        QTest::newRow("404 with body") << "answers" << 404 << page << failed;
        QTest::newRow("empty 200") << "answers" << 200 << QByteArray() << QByteArray();
        QTest::newRow("UTF-8") << "answers" << 200 << utf8 << utf8;
        // The whole payload crosses; the window decides where to cut it.
        QTest::newRow("NUL byte kept") << "answers" << 200 << with_nul << with_nul;
        QTest::newRow("stalled server") << "stalls" << 200 << page << failed;
    }

    void fetch()
    {
        QFETCH(QString, server);
        QFETCH(int, http_status);
        QFETCH(QByteArray, body);

        FixtureResponse response;
        response.status = http_status;
        response.headers = {{"Content-Type", "text/html; charset=utf-8"}};
        response.body = body;
        if (server == "stalls") {
            response.stall_after_bytes = 5;
            response.stall_ms = 15000; // bounded: without a time-out the test fails, not hangs
        }
        fixture->route("GET", "/launcher/", response);
        const QString url = fixture->base_url() + QStringLiteral("/launcher/");
        if (server == "stopped")
            fixture->stop();

        // Declared before the object and the task: a failed check returns
        // early, and then the task is waited for before anything it touches
        // goes, and deliveries still queued die with their receiver.
        QThread *emitting_thread = nullptr;
        QList<QByteArray> delivered;
        QObject receiver;
        NewsDisplay news {QUrl(url)};
        news.transfer_timeout_ms = 300;

        connect(
            &news, &NewsDisplay::display_news, &news,
            [&emitting_thread](const QByteArray &) { emitting_thread = QThread::currentThread(); },
            Qt::DirectConnection);
        connect(&news, &NewsDisplay::display_news, &receiver,
                [&delivered](const QByteArray &text) { delivered << text; });

        struct WaitedTask
        {
            QFuture<void> future;
            ~WaitedTask() { future.waitForFinished(); }
        } task {QtConcurrent::run(QThreadPool::globalInstance(), &news, &NewsDisplay::fetch_news)};
        QTRY_VERIFY_WITH_TIMEOUT(!delivered.isEmpty(), 20000);
        task.future.waitForFinished();
        QCoreApplication::processEvents();

        QCOMPARE(delivered.size(), 1);
        QTEST(delivered.first(), "payload");
        QVERIFY(emitting_thread != nullptr);
        QVERIFY(emitting_thread != thread());
        if (server != "stopped") {
            const QList<RecordedRequest> requests = fixture->requests();
            QCOMPARE(requests.size(), 1);
            QCOMPARE(requests.first().method, QByteArray("GET"));
            QCOMPARE(requests.first().path, QByteArray("/launcher/"));
            QCOMPARE(requests.first().header("User-Agent"), USER_AGENT.toUtf8());
        }
    }
};

QTEST_GUILESS_MAIN(TestNews)
#include "tst_news.moc"
