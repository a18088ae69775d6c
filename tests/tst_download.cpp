#include "app/constants.h"
#include "download/archive_extractor.h"
#include "download/downloader.h"

#include "bz2_util.h"
#include "https_fixture.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray patterned(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(size);
    for (int i = 0; i < size; ++i)
        data[i] = char('a' + generator.bounded(6)); // compressible, not trivial
    return data;
}

QByteArray read_file(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

bool write_file(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

// What one transfer reported, in arrival order on the test thread.
struct Outcome
{
    QStringList events; // "extract_finished", "download_finished", "error"
    int error_code = 0;
    QString error_text;
    QList<qint64> totals;
    qint64 last_read = -1;
    bool archive_left_at_finish = true;
};

} // namespace

class TestDownload : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void meta_object_order();
    void init();
    void compressed_body_data();
    void compressed_body();
    void missing_archive_is_903();
    void unwritable_extraction_target_names_archive();
    void unwritable_download_target_sends_no_request();
    void server_without_length_reports_minus_one();
    void uncompressed_error_page_is_saved();
    void existing_file_is_truncated();
    void stalled_server_ends_with_timeout();
    void owner_deleting_in_final_slot_is_safe_data();
    void owner_deleting_in_final_slot_is_safe();

private:
    Outcome run(Downloader &downloader);
    QString target(const QString &name = QStringLiteral("game.dat")) const
    {
        return work->filePath(name);
    }
    QString url(const QString &name = QStringLiteral("game.dat")) const
    {
        return fixture.base_url() + "/files/" + name;
    }

    HttpsFixture fixture;
    std::unique_ptr<QTemporaryDir> work;
};

void TestDownload::initTestCase()
{
    QVERIFY(fixture.start());
}

// Receivers and the updater's connections rely on this order of the
// downloader's signals and slots.
void TestDownload::meta_object_order()
{
    const QMetaObject &meta = Downloader::staticMetaObject;
    const QList<QByteArray> expected = {"download_error(int,QString)",
                                        "download_progress(qlonglong,qlonglong)",
                                        "download_finished()",
                                        "extract_finished()",
                                        "readyRead()",
                                        "downloadProgress(qlonglong,qlonglong)"};
    QCOMPARE(meta.methodCount() - meta.methodOffset(), expected.size());
    for (int i = 0; i < expected.size(); ++i) {
        const QMetaMethod method = meta.method(meta.methodOffset() + i);
        QCOMPARE(method.methodSignature(), expected[i]);
        QCOMPARE(method.methodType(), i < 4 ? QMetaMethod::Signal : QMetaMethod::Slot);
    }
    QCOMPARE(meta.method(meta.methodOffset() + 4).access(), QMetaMethod::Private);
}

void TestDownload::init()
{
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
    fixture.clear_requests();
}

Outcome TestDownload::run(Downloader &downloader)
{
    Outcome out;
    const QString archive = downloader.property("archive").toString();
    connect(&downloader, &Downloader::download_progress, this, [&](qint64 read, qint64 total) {
        out.totals.append(total);
        out.last_read = read;
    });
    connect(&downloader, &Downloader::extract_finished, this,
            [&] { out.events.append("extract_finished"); });
    connect(&downloader, &Downloader::download_finished, this, [&] {
        out.events.append("download_finished");
        out.archive_left_at_finish = QFile::exists(archive);
    });
    connect(&downloader, &Downloader::download_error, this, [&](int code, const QString &text) {
        out.events.append("error");
        out.error_code = code;
        out.error_text = text;
    });
    downloader.download();
    // Signals of the extraction task may still wait in the queue.
    QCoreApplication::processEvents();
    return out;
}

void TestDownload::compressed_body_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("content");

    const QByteArray data = patterned(300000);
    QTest::newRow("valid archive") << bz2_compress(data) << 0 << data;
    // More than the reply may buffer ahead of the disk: the transfer pauses
    // and resumes as the body is written.
    const QByteArray large = patterned(4 << 20);
    QTest::newRow("archive larger than the read buffer") << bz2_compress(large) << 0 << large;
    const QByteArray pages = patterned(4096 * 5);
    QTest::newRow("output of exactly 5 buffers") << bz2_compress(pages) << 0 << pages;
    QTest::newRow("html error page")
        << QByteArray("<html><body>404 Not Found</body></html>") << -5 << QByteArray();
    QTest::newRow("empty archive") << QByteArray() << -7 << QByteArray();
    const QByteArray archive = bz2_compress(data);
    QTest::newRow("cut archive") << archive.left(archive.size() / 2) << -7 << QByteArray("*");
    QByteArray damaged = archive;
    damaged[damaged.size() / 2] = char(~damaged[damaged.size() / 2]);
    QTest::newRow("damaged stream") << damaged << -4 << QByteArray("*");
    // bzip2 itself decompresses a concatenation of streams as one file.
    QTest::newRow("two concatenated streams_regression_truncated_after_first_stream")
        << bz2_compress("first stream\n") + bz2_compress(data) << 0 << "first stream\n" + data;
    QTest::newRow("trailing bytes after the last stream") << bz2_compress(data) +
            "\n\n-- trailer --\n" << 0 << data;
}

void TestDownload::compressed_body()
{
    QFETCH(QByteArray, body);
    QFETCH(int, code);
    QFETCH(QByteArray, content);
    FixtureResponse response;
    response.body = body;
    response.headers = {{"Content-Type", "application/octet-stream"}};
    fixture.route("GET", "/files/game.dat.bz2", response);

    Downloader downloader(url(), target(), true);
    downloader.setProperty("archive", target() + ".bz2");
    const Outcome out = run(downloader);

    const QList<RecordedRequest> requests = fixture.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].path, QByteArray("/files/game.dat.bz2"));
    QCOMPARE(requests[0].header("User-Agent"), USER_AGENT.toUtf8());
    QVERIFY(!QFile::exists(target() + ".bz2"));
    if (code == 0) {
        QCOMPARE(out.events, QStringList({"extract_finished", "download_finished"}));
        QVERIFY(!out.archive_left_at_finish);
        QVERIFY(read_file(target()) == content);
        QCOMPARE(out.last_read, qint64(body.size()));
    } else {
        QCOMPARE(out.events, QStringList({"extract_finished", "error"}));
        QCOMPARE(out.error_code, code);
        QCOMPARE(out.error_text, QStringLiteral("Couldn't extract archive: game.dat.bz2"));
        if (content != "*") // a damaged stream may have written part of the data
            QVERIFY(read_file(target()) == content);
    }
}

void TestDownload::missing_archive_is_903()
{
    const ExtractOutcome outcome = extract_archive(target("absent.bin.bz2"), target("absent.bin"));
    QCOMPARE(outcome.code, 903);
    QCOMPARE(outcome.text, QStringLiteral("Couldn't open file for read: absent.bin.bz2"));
    QVERIFY(!QFile::exists(target("absent.bin")));
}

void TestDownload::unwritable_extraction_target_names_archive()
{
    fixture.route("GET", "/files/data.bz2", FixtureResponse {200, {}, bz2_compress("x")});
    QVERIFY(QDir(work->path()).mkdir("data")); // the target is a folder: cannot be written
    Downloader downloader(url("data"), target("data"), true);
    const Outcome out = run(downloader);
    QCOMPARE(out.events, QStringList({"extract_finished", "error"}));
    QCOMPARE(out.error_code, 902);
    QCOMPARE(out.error_text, QStringLiteral("Couldn't open file for write: data.bz2"));
    QVERIFY(!QFile::exists(target("data.bz2")));
}

void TestDownload::unwritable_download_target_sends_no_request()
{
    const QString path = work->filePath("no/such/folder/game.dat");
    Downloader downloader(url(), path, true);
    const Outcome out = run(downloader);
    QCOMPARE(out.events, QStringList({"error"}));
    QCOMPARE(out.error_code, 902);
    QCOMPARE(out.error_text, QStringLiteral("Couldn't open file for write: game.dat"));
    QVERIFY(fixture.requests().isEmpty());
}

void TestDownload::server_without_length_reports_minus_one()
{
    FixtureResponse response;
    response.body = patterned(200000);
    response.chunked = true;
    // Qt reports progress at most every 100 ms: spread the body out.
    response.trickle_chunk = 25000;
    response.trickle_interval_ms = 60;
    fixture.route("GET", "/files/patch.bin.bz2", response);
    Downloader downloader(url("patch.bin"), target("patch.bin"), false);
    const Outcome out = run(downloader);
    QCOMPARE(out.events, QStringList({"download_finished"}));
    // Every report while data arrives has -1; Qt's closing report may give
    // the received size as the total.
    QVERIFY2(out.totals.size() >= 2, "expected reports while the body arrived");
    for (int i = 0; i < out.totals.size() - 1; ++i)
        QCOMPARE(out.totals[i], qint64(-1));
    QVERIFY(read_file(target("patch.bin")) == response.body);
}

void TestDownload::uncompressed_error_page_is_saved()
{
    const QByteArray page = "<html><body>Service unavailable</body></html>";
    fixture.route("GET", "/files/patch.bin.bz2", FixtureResponse {503, {}, page});
    Downloader downloader(url("patch.bin"), target("patch.bin"), false);
    const Outcome out = run(downloader);
    QCOMPARE(out.events, QStringList({"download_finished"}));
    QCOMPARE(read_file(target("patch.bin")), page);
}

void TestDownload::existing_file_is_truncated()
{
    QVERIFY(write_file(target("patch.bin"), QByteArray(100000, 'o')));
    fixture.route("GET", "/files/patch.bin.bz2", FixtureResponse {200, {}, "short"});
    Downloader downloader(url("patch.bin"), target("patch.bin"), false);
    run(downloader);
    QCOMPARE(read_file(target("patch.bin")), QByteArray("short"));
}

void TestDownload::stalled_server_ends_with_timeout()
{
    const QByteArray archive = bz2_compress(patterned(300000));
    FixtureResponse response;
    response.body = archive;
    response.stall_after_bytes = archive.size() / 2;
    response.stall_ms = 20000; // then the rest: without a time-out the archive would be whole
    fixture.route("GET", "/files/game.dat.bz2", response);
    Downloader downloader(url(), target(), true);
    downloader.set_transfer_timeout(300);
    const Outcome out = run(downloader);
    QCOMPARE(out.events, QStringList({"extract_finished", "error"}));
    QCOMPARE(out.error_code, -7);
}

void TestDownload::owner_deleting_in_final_slot_is_safe_data()
{
    QTest::addColumn<bool>("compressed");
    QTest::addColumn<QString>("name");
    QTest::newRow("extracted file") << true << "game.dat";
    QTest::newRow("plain file") << false << "game.dat";
    QTest::newRow("open failure") << false << "missing/game.dat";
}

// The owner deletes the downloader from its completion slots, while
// download() is still on the stack; nothing may touch the object afterwards
// (an address sanitizer build turns a violation into a failure).
void TestDownload::owner_deleting_in_final_slot_is_safe()
{
    QFETCH(bool, compressed);
    QFETCH(QString, name);
    fixture.route("GET", "/files/game.dat.bz2", FixtureResponse {200, {}, bz2_compress("data")});
    QPointer<Downloader> downloader = new Downloader(url(), target(name), compressed);
    int reports = 0;
    auto finish = [&] {
        ++reports;
        delete downloader.data();
    };
    connect(downloader, &Downloader::download_finished, this, finish);
    connect(downloader, &Downloader::download_error, this, finish);
    downloader->download();
    QCoreApplication::processEvents();
    QCOMPARE(reports, 1);
    QVERIFY(downloader.isNull());
}

QTEST_GUILESS_MAIN(TestDownload)
#include "tst_download.moc"
