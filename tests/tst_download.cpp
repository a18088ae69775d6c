#include "app/constants.h"
#include "app/player_error.h"
#include "atomic_file.h"
#include "hash_text.h"
#include "install/patch_download.h"
#include "files/folder_cursor.h"
#include "install/whole_file_download.h"
#include "support/scratch_here.h"

#include "archive_file.h"
#include "bz2_util.h"
#include "https_fixture.h"
#include "ranged_response.h"
#include "test_files.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>

Q_DECLARE_METATYPE(FixtureResponse)

namespace {

QByteArray patterned(int size)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(size);
    for (int i = 0; i < size; ++i)
        data[i] = char('a' + generator.bounded(6)); // compressible, not trivial
    return data;
}

// What one transfer reported, in arrival order on the test thread.
// Longer than any transfer of these tests takes.
constexpr int RUN_DEADLINE_MS = 60000;

struct Outcome
{
    QStringList events; // "extract_finished", "download_finished", "error"
    UpdateFault fault = UpdateFault::None;
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
    void init();
    void compressed_body_data();
    void compressed_body();
    void missing_archive_is_903();
    void unwritable_extraction_target_names_archive();
    void unwritable_download_target_sends_no_request();
    void new_file_is_made_after_the_request_data();
    void new_file_is_made_after_the_request();
    void stalled_server_ends_with_timeout();
    void trickling_server_ends_after_two_slow_attempts();
    void server_down_for_a_while_then_back();
    void owner_deleting_in_final_slot_is_safe_data();
    void owner_deleting_in_final_slot_is_safe();
    void nothing_wrong_is_installed_data();
    void nothing_wrong_is_installed();
    void stale_cache_is_bypassed_data();
    void stale_cache_is_bypassed();
    void cut_transfer_resumes_data();
    void cut_transfer_resumes();
    void partial_archive_resumes_in_a_later_run_data();
    void partial_archive_resumes_in_a_later_run();
    void failed_connections_are_retried_with_pauses();
    void nothing_is_written_through_links();
    void atomic_write_replaces_what_stands_at_the_name_data();
    void atomic_write_replaces_what_stands_at_the_name();

private:
    Outcome run(WholeFileDownload &downloader)
    {
        return run_file(downloader, [&downloader] { return downloader.extraction_over(); });
    }
    Outcome run(PatchDownload &downloader)
    {
        return run_file(downloader, [] { return false; });
    }
    Outcome run_file(FileDownload &downloader, const std::function<bool()> &extracted);
    // Runs a whole file's transfers as the update run does: a body that is
    // not the file is fetched again, further past caches, while a level is left.
    Outcome run_past_caches(const std::function<void(WholeFileDownload &)> &setup)
    {
        TransferRequest request = fetch();
        for (;;) {
            WholeFileDownload downloader(here(), request, target());
            setup(downloader);
            const Outcome out = run(downloader);
            request = downloader.transfer().request();
            request.cache_bypass = request.next_cache_bypass();
            if (out.fault != UpdateFault::NotTheFile || request.cache_bypass == 0)
                return out;
        }
    }
    QString target(const QString &name = QStringLiteral("game.dat")) const
    {
        return work->filePath(name);
    }
    // The address of the archive of `name`, and a request of it.
    QString url(const QString &name = QStringLiteral("game.dat")) const
    {
        return fixture.base_url() + "/files/" + name + ".bz2";
    }
    // The game folder the tests run in: the working directory.
    static GameFolder here() { return GameFolder(QDir::currentPath()); }
    TransferRequest fetch(const QString &name = QStringLiteral("game.dat")) const
    {
        TransferRequest request;
        request.url = QUrl(url(name));
        return request;
    }

    // Retries without the real pauses, and with a record of them.
    void quick_retries(FileDownload &downloader, QStringList *pauses = nullptr)
    {
        downloader.transfer().set_retry_delays({5, 5, 5});
        connect(&downloader.transfer(), &Downloader::retrying, this,
                [pauses](const QString &reason, int, int attempt, int all) {
                    if (pauses)
                        pauses->append(
                            QStringLiteral("%1 %2/%3").arg(reason).arg(attempt).arg(all));
                });
    }
    static void compressed_body_rows(bool in_memory);
    HttpsFixture fixture;
    std::unique_ptr<QTemporaryDir> work;
};

void TestDownload::initTestCase()
{
    QVERIFY(fixture.start());
}

void TestDownload::init()
{
    work = std::make_unique<QTemporaryDir>();
    QVERIFY(work->isValid());
    // The scratch folder lives in the working directory, as in a game folder.
    QVERIFY(QDir::setCurrent(work->path()));
    fixture.clear_requests();
}

Outcome TestDownload::run_file(FileDownload &downloader, const std::function<bool()> &extracted)
{
    Outcome out;
    const QString archive = downloader.property("archive").toString();
    connect(&downloader.transfer(), &Downloader::download_progress, this,
            [&](qint64 read, qint64 total) {
                out.totals.append(total);
                out.last_read = read;
            });
    bool ended = false;
    connect(&downloader, &FileDownload::ended, this, [&](const UpdateFailure &failure) {
        ended = true;
        if (extracted())
            out.events.append("extract_finished");
        out.fault = failure.fault;
        if (!failure.failed()) {
            out.events.append("download_finished");
            out.archive_left_at_finish = QFile::exists(archive);
            return;
        }
        const PlayerError error = player_error(failure);
        out.events.append("error");
        out.error_code = error.code;
        out.error_text = error.text;
    });
    // A transfer that never ends (a rule of the transfer broken) fails this
    // test by name instead of holding the whole suite up.
    QTimer deadline;
    deadline.setSingleShot(true);
    connect(&deadline, &QTimer::timeout, this, [&] {
        out.events.append("deadline");
        downloader.cancel();
    });
    deadline.start(RUN_DEADLINE_MS);
    downloader.download();
    // The outcome comes queued.
    QElapsedTimer waiting;
    waiting.start();
    while (!ended && !out.events.contains("deadline") && waiting.elapsed() < RUN_DEADLINE_MS)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return out;
}

// Each body twice: its archive in the scratch folder as it arrives, and held
// in memory whole (decoded once complete, on the decoder's threads from
// 64 KiB on), with the same outcome.
void TestDownload::compressed_body_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<bool>("in_memory");
    for (const bool in_memory : {false, true})
        compressed_body_rows(in_memory);
}

void TestDownload::compressed_body_rows(bool in_memory)
{
    const auto newRow = [in_memory](const char *name) -> QTestData & {
        return QTest::newRow(qPrintable(QString(name) + (in_memory ? ", in memory" : "")));
    };

    const QByteArray data = patterned(300000);
    newRow("valid archive") << bz2_compress(data) << 0 << data << in_memory;
    // More than the reply may buffer ahead of the disk: the transfer pauses
    // and resumes as the body is written.
    const QByteArray large = patterned(4 << 20);
    newRow("archive larger than the read buffer")
        << bz2_compress(large) << 0 << large << in_memory;
    const QByteArray pages = patterned(4096 * 5);
    newRow("output of exactly 5 buffers") << bz2_compress(pages) << 0 << pages << in_memory;
    newRow("html error page")
        << QByteArray("<html><body>404 Not Found</body></html>") << -5 << QByteArray() << in_memory;
    newRow("empty archive") << QByteArray() << -7 << QByteArray() << in_memory;
    const QByteArray archive = bz2_compress(data);
    newRow("cut archive") << archive.left(archive.size() / 2) << -7 << QByteArray("*") << in_memory;
    QByteArray damaged = archive;
    damaged[damaged.size() / 2] = char(~damaged[damaged.size() / 2]);
    newRow("damaged stream") << damaged << -4 << QByteArray("*") << in_memory;
    // bzip2 itself decompresses a concatenation of streams as one file.
    newRow("two concatenated streams_regression_truncated_after_first_stream")
        << bz2_compress("first stream\n") + bz2_compress(data) << 0 << "first stream\n" + data
        << in_memory;
    newRow("trailing bytes after the last stream")
        << bz2_compress(data) + "\n\n-- trailer --\n" << 0 << data << in_memory;
}

void TestDownload::compressed_body()
{
    QFETCH(QByteArray, body);
    QFETCH(int, code);
    QFETCH(QByteArray, content);
    QFETCH(bool, in_memory);
    FixtureResponse response;
    response.body = body;
    response.headers = {{"Content-Type", "application/octet-stream"}};
    fixture.route("GET", "/files/game.dat.bz2", response);

    WholeFileDownload downloader(here(), fetch(), target());
    if (in_memory)
        downloader.keep_archive_in_memory(1 << 20); // files of up to 1 MiB
    downloader.setProperty("archive", scratch_here().partial_archive_path(target()));
    const Outcome out = run(downloader);

    const QList<RecordedRequest> requests = fixture.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests[0].path, QByteArray("/files/game.dat.bz2"));
    QCOMPARE(requests[0].header("User-Agent"), USER_AGENT.toUtf8());
    QVERIFY(!QFile::exists(target() + ".bz2"));
    QVERIFY(QDir(scratch_here().folder()).isEmpty());
    if (code == 0) {
        QCOMPARE(out.events, QStringList({"extract_finished", "download_finished"}));
        QVERIFY(!out.archive_left_at_finish);
        QVERIFY(read_file(target()) == content);
        QCOMPARE(out.last_read, qint64(body.size()));
    } else {
        QCOMPARE(out.events, QStringList({"extract_finished", "error"}));
        QCOMPARE(out.error_code, code);
        QCOMPARE(out.error_text, QStringLiteral("Couldn't extract archive: game.dat.bz2"));
        QVERIFY(!QFile::exists(target())); // nothing half-made is installed
    }
}

void TestDownload::missing_archive_is_903()
{
    const PlayerError outcome =
        player_error(extract_archive(target("absent.bin.bz2"), target("absent.bin")));
    QCOMPARE(outcome.code, 903);
    QCOMPARE(outcome.text, QStringLiteral("Couldn't open file for read: absent.bin.bz2"));
    QVERIFY(!QFile::exists(target("absent.bin")));
}

void TestDownload::unwritable_extraction_target_names_archive()
{
    fixture.route("GET", "/files/data.bz2", FixtureResponse {200, {}, bz2_compress("x")});
    QVERIFY(QDir(work->path()).mkdir("data")); // the target is a folder: cannot be written
    WholeFileDownload downloader(here(), fetch("data"), target("data"));
    const Outcome out = run(downloader);
    QCOMPARE(out.events, QStringList({"extract_finished", "error"}));
    QCOMPARE(out.error_code, 902);
    QCOMPARE(out.error_text, QStringLiteral("Couldn't open file for write: data.bz2"));
    QVERIFY(!QFile::exists(target("data.bz2")));
}

void TestDownload::unwritable_download_target_sends_no_request()
{
    const QString path = work->filePath("no/such/folder/game.dat");
    WholeFileDownload downloader(here(), fetch(), path);
    const Outcome out = run(downloader);
    QCOMPARE(out.events, QStringList({"error"}));
    QCOMPARE(out.error_code, 902);
    QCOMPARE(out.error_text, QStringLiteral("Couldn't open file for write: game.dat"));
    QVERIFY(fixture.requests().isEmpty());

    // A patch lands under a scratch name; its texts name the game file.
    PatchDownload patch(fetch("patch"), work->filePath("no/such/folder/0123abcd.patch"),
                        "level.pak");
    const Outcome patched = run(patch);
    QCOMPARE(patched.error_text, QStringLiteral("Couldn't open file for write: level.pak"));
    QVERIFY(fixture.requests().isEmpty());
}

void TestDownload::new_file_is_made_after_the_request_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("cursor");
    QTest::newRow("own walk") << "game.dat" << false;
    QTest::newRow("a run's folder cursor") << "game.dat" << true;
    QTest::newRow("in a folder, cursor") << "maps/level.dat" << true;
}

// Only the folder is checked before the request; the new file is made by the
// extraction, on its own thread, and renamed over the target.
void TestDownload::new_file_is_made_after_the_request()
{
    QFETCH(QString, target);
    QFETCH(bool, cursor);
    QVERIFY(QDir().mkpath(QFileInfo(this->target(target)).path()));
    QVERIFY(write_file(this->target(target), "old content"));
    const QString fresh = QFileInfo(this->target(target)).path() + "/." +
        QFileInfo(target).fileName() + ".saltmarch-new";
    std::atomic<int> fresh_at_request {-1};
    fixture.route("GET", "/files/" + target.toUtf8() + ".bz2",
                  [&](const RecordedRequest &) {
                      fresh_at_request = QFile::exists(fresh) ? 1 : 0;
                      return FixtureResponse {200, {}, bz2_compress("new content")};
                  });
    FolderCursor folders(here());
    WholeFileDownload downloader(here(), fetch(target), target, false, nullptr,
                                 cursor ? &folders : nullptr);
    const Outcome out = run(downloader);
    QCOMPARE(out.events, QStringList({"extract_finished", "download_finished"}));
    QCOMPARE(fresh_at_request.load(), 0);
    QCOMPARE(read_file(this->target(target)), QByteArray("new content"));
    QVERIFY(!QFile::exists(fresh));
}

void TestDownload::stalled_server_ends_with_timeout()
{
    const QByteArray archive = bz2_compress(patterned(300000));
    FixtureResponse response;
    response.body = archive;
    response.stall_after_bytes = archive.size() / 2;
    response.stall_ms = 20000; // then the rest: without a time-out the archive would be whole
    fixture.route("GET", "/files/game.dat.bz2", response);
    WholeFileDownload downloader(here(), fetch(), target());
    downloader.transfer().request().timeout_ms = 300;
    QStringList pauses;
    quick_retries(downloader, &pauses);
    const Outcome out = run(downloader);
    QCOMPARE(out.events, QStringList({"error"}));
    QCOMPARE(out.error_code, 905);
    QCOMPARE(pauses.size(), 3);
    QVERIFY2(pauses[0].startsWith("Server not responding"), qPrintable(pauses[0]));
}

// A body that comes in a byte at a time never lets the inactivity limit
// strike; the low-speed rule ends each attempt after one time-out span, and
// with no progress for two spans the retries end too.
void TestDownload::trickling_server_ends_after_two_slow_attempts()
{
    FixtureResponse response;
    response.body = bz2_compress(patterned(300000)); // about 40 minutes at this rate
    response.trickle_chunk = 1;
    response.trickle_interval_ms = 20; // 50 bytes in each second
    fixture.route("GET", "/files/game.dat.bz2", response);
    WholeFileDownload downloader(here(), fetch(), target());
    downloader.transfer().request().timeout_ms = 1000;
    QStringList pauses;
    quick_retries(downloader, &pauses);
    const Outcome out = run(downloader);
    QCOMPARE(out.events, QStringList({"error"}));
    QCOMPARE(out.error_code, 905);
    QCOMPARE(pauses, QStringList {TEXT_RETRY_TOO_SLOW + " 2/4"});
    QCOMPARE(fixture.requests().size(), 2);
    QVERIFY(!QFile::exists(target()));
}

// The server's port is closed, then the server comes back on it while the
// pauses between attempts run: the transfer completes.
void TestDownload::server_down_for_a_while_then_back()
{
    const QByteArray data = patterned(100000);
    auto server = std::make_unique<HttpsFixture>();
    QVERIFY(server->start());
    const quint16 port = server->port();
    TransferRequest address;
    address.url = QUrl(server->base_url() + "/files/game.dat.bz2");
    server.reset(); // the port refuses connections now
    QTimer::singleShot(700, this, [&] {
        server = std::make_unique<HttpsFixture>();
        if (server->start(port))
            server->route("GET", "/files/game.dat.bz2",
                          FixtureResponse {200, {}, bz2_compress(data)});
    });
    WholeFileDownload downloader(here(), address, target());
    downloader.set_expected(hash_text(data), data.size());
    downloader.transfer().request().timeout_ms = 5000;
    downloader.transfer().set_retry_delays({100, 200, 400, 800, 1600, 3200});
    QStringList pauses;
    connect(&downloader.transfer(), &Downloader::retrying, this,
            [&](const QString &reason, int, int attempt, int all) {
                pauses << QStringLiteral("%1 %2/%3").arg(reason).arg(attempt).arg(all);
            });
    const Outcome out = run(downloader);
    QVERIFY(server && server->port() == port);
    QCOMPARE(out.events, QStringList({"extract_finished", "download_finished"}));
    QVERIFY(read_file(target()) == data);
    QVERIFY(!pauses.isEmpty());
    QCOMPARE(pauses.first(), TEXT_RETRY_CANNOT_CONNECT + " 2/7");
    QCOMPARE(server->requests().size(), 1);
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
    QPointer<FileDownload> downloader;
    if (compressed)
        downloader = new WholeFileDownload(here(), fetch(), target(name));
    else
        downloader = new PatchDownload(fetch(), target(name));
    int reports = 0;
    connect(downloader, &FileDownload::ended, this, [&] {
        ++reports;
        delete downloader.data();
    });
    downloader->download();
    QTRY_COMPARE_WITH_TIMEOUT(reports, 1, RUN_DEADLINE_MS);
    QCoreApplication::processEvents();
    QCOMPARE(reports, 1);
    QVERIFY(downloader.isNull());
}

void TestDownload::nothing_wrong_is_installed_data()
{
    QTest::addColumn<FixtureResponse>("answer");
    QTest::addColumn<qint64>("size"); // the manifest's size, -1 for none
    QTest::addColumn<int>("code");
    QTest::addColumn<int>("requests");
    const QByteArray good = patterned(300000);
    const QByteArray other = bz2_compress(patterned(200000));
    // A whole body that is not the file is asked for twice more, past caches.
    QTest::newRow("other content") << FixtureResponse {200, {}, other} << qint64(-1) << 906 << 3;
    QTest::newRow("404 with a bzip2 body")
        << FixtureResponse {404, {}, bz2_compress(good)} << qint64(-1) << 905 << 1;
    QTest::newRow("500 with a bzip2 body")
        << FixtureResponse {500, {}, bz2_compress(good)} << qint64(-1) << 905 << 4;
    QTest::newRow("redirect") << FixtureResponse {302, {{"Location", "/files/x.bz2"}}, ""}
                              << qint64(-1) << 905 << 1;
    FixtureResponse first_stream {200, {}, bz2_compress(good.left(1000))};
    first_stream.chunked = true; // cut at a stream boundary, no length to tell
    QTest::newRow("cut at a stream boundary") << first_stream << qint64(-1) << 906 << 3;
    // A small archive that expands far beyond what the manifest announces.
    const QByteArray bomb = bz2_compress(QByteArray(20 << 20, 'z'));
    QTest::newRow("bomb with a size")
        << FixtureResponse {200, {}, bomb} << qint64(300000) << 906 << 3;
    QTest::newRow("bomb without a size")
        << FixtureResponse {200, {}, bomb} << qint64(-1) << 906 << 3;
}

// A body that is not the manifest's file never replaces the old one, and
// leaves no file of the launcher's behind.
void TestDownload::nothing_wrong_is_installed()
{
    QFETCH(FixtureResponse, answer);
    QFETCH(qint64, size);
    QFETCH(int, code);
    QFETCH(int, requests);
    fixture.route("GET", "/files/game.dat.bz2", answer);
    QVERIFY(write_file(target(), "the old game"));
    const Outcome out = run_past_caches([&](WholeFileDownload &downloader) {
        downloader.set_expected(hash_text(patterned(300000)), size);
        quick_retries(downloader);
    });
    QCOMPARE(out.error_code, code);
    // A failed download says what the server answered.
    QCOMPARE(out.error_text,
             code == 905 ? TEXT_FAILED_BECAUSE.arg(TEXT_DOWNLOAD_FAILED.arg("game.dat"),
                                                   TEXT_SERVER_ANSWERED.arg(answer.status))
                         : TEXT_FILE_DAMAGED.arg("game.dat"));
    QCOMPARE(fixture.requests().size(), requests);
    QCOMPARE(read_file(target()), QByteArray("the old game"));
    QCOMPARE(QDir(work->path()).entryList(QDir::Files | QDir::Hidden), QStringList {"game.dat"});
    if (size >= 0) // the output stopped at the announced size
        QVERIFY(out.events.contains("extract_finished"));
}

void TestDownload::stale_cache_is_bypassed_data()
{
    QTest::addColumn<QString>("fresh_for"); // "no-cache", "query" or "" (never)
    QTest::addColumn<bool>("stale_partial"); // an earlier run left a partial stale archive
    QTest::addColumn<QStringList>("asked"); // per request: headers past caches, query
    const QString plain = "plain", no_cache = "no-cache", query = "no-cache h=";
    QTest::newRow("cache honours no-cache") << "no-cache" << false << QStringList {plain, no_cache};
    QTest::newRow("cache keys on the query")
        << "query" << false << QStringList {plain, no_cache, query};
    QTest::newRow("every answer stale") << "" << false << QStringList {plain, no_cache, query};
    // The resumed part is wrong, the whole plain answer too; the request past
    // caches starts from byte 0.
    QTest::newRow("stale partial archive of an earlier run")
        << "no-cache" << true << QStringList {plain + " range", plain, no_cache};
}

// A cache that keeps an archive of an earlier release under the file's name:
// the transfer asks past it, with "no-cache" and then with the hash text in
// the query, before the file counts as damaged.
void TestDownload::stale_cache_is_bypassed()
{
    QFETCH(QString, fresh_for);
    QFETCH(bool, stale_partial);
    QFETCH(QStringList, asked);
    const QByteArray data = patterned(300000);
    const QByteArray stale = bz2_compress(patterned(200000));
    const QByteArray right = bz2_compress(data);
    const QByteArray hash = hash_text(data).toUtf8();
    fixture.route("GET", "/files/game.dat.bz2", [=](const RecordedRequest &request) {
        const bool fresh =
            (fresh_for == "no-cache" && request.header("Cache-Control") == "no-cache") ||
            (fresh_for == "query" && request.query == "h=" + hash);
        return FixtureResponse {
            200, {{"ETag", fresh ? "\"new\"" : "\"old\""}}, fresh ? right : stale};
    });
    if (stale_partial) {
        QVERIFY(scratch_here().ensure());
        QVERIFY(write_file(scratch_here().partial_archive_path(target()), stale.left(100000)));
        QVERIFY(scratch_here().write_note({target(), hash_text(data), url(), "\"old\""}));
    }
    QVERIFY(write_file(target(), "the old game"));
    const Outcome out = run_past_caches(
        [&](WholeFileDownload &downloader) { downloader.set_expected(hash_text(data), data.size()); });

    QStringList seen;
    for (const RecordedRequest &request : fixture.requests()) {
        QString line =
            request.header("Cache-Control") == "no-cache" && request.header("Pragma") == "no-cache"
            ? QString("no-cache")
            : QString("plain");
        if (!request.query.isEmpty())
            line += " " + QString(request.query).replace(QString(hash), "");
        if (!request.header("Range").isEmpty())
            line += " range";
        seen << line;
    }
    QCOMPARE(seen, asked);
    if (fresh_for.isEmpty()) {
        QCOMPARE(out.error_code, 906);
        QCOMPARE(read_file(target()), QByteArray("the old game"));
    } else {
        QCOMPARE(out.events, QStringList({"extract_finished", "download_finished"}));
        QVERIFY(read_file(target()) == data);
    }
    QCOMPARE(QDir(work->path()).entryList(QDir::Files | QDir::Hidden), QStringList {"game.dat"});
    QVERIFY(QDir(scratch_here().folder()).isEmpty());
}

void TestDownload::cut_transfer_resumes_data()
{
    QTest::addColumn<bool>("server_ranges");
    QTest::newRow("server answers Range") << true;
    QTest::newRow("server ignores Range") << false;
}

// A body cut at 60 % continues from the bytes on disk (or starts over when
// the server sends the whole file again), and the file comes out right.
void TestDownload::cut_transfer_resumes()
{
    QFETCH(bool, server_ranges);
    const QByteArray data = patterned(1 << 20) + QByteArray(1 << 20, 'q');
    const QByteArray archive = bz2_compress(data);
    const int cut = archive.size() * 6 / 10;
    if (server_ranges) {
        fixture.route("GET", "/files/game.dat.bz2", ranged_response(archive, "\"v1\"", cut, 1));
    } else {
        auto answers = std::make_shared<QAtomicInt>(0);
        fixture.route("GET", "/files/game.dat.bz2", [archive, cut, answers](const RecordedRequest &) {
            FixtureResponse response {200, {}, archive};
            if (answers->fetchAndAddOrdered(1) == 0)
                response.close_after_bytes = cut;
            return response;
        });
    }
    WholeFileDownload downloader(here(), fetch(), target());
    downloader.set_expected(hash_text(data), data.size());
    QStringList pauses;
    quick_retries(downloader, &pauses);
    const Outcome out = run(downloader);
    QCOMPARE(out.events, QStringList({"extract_finished", "download_finished"}));
    QVERIFY(read_file(target()) == data);
    QCOMPARE(pauses, QStringList {"Connection lost 2/4"});
    const QList<RecordedRequest> requests = fixture.requests();
    QCOMPARE(requests.size(), 2);
    QCOMPARE(requests[1].header("Range"), "bytes=" + QByteArray::number(cut) + "-");
    QCOMPARE(requests[1].header("If-Range"), server_ranges ? QByteArray("\"v1\"") : QByteArray());
    QCOMPARE(out.last_read, qint64(archive.size())); // counted over the whole file
    QVERIFY(QDir(scratch_here().folder()).isEmpty());
}

void TestDownload::partial_archive_resumes_in_a_later_run_data()
{
    QTest::addColumn<bool>("same_record");
    QTest::addColumn<QByteArray>("etag_later");
    QTest::addColumn<bool>("resumed");
    QTest::addColumn<bool>("earlier_note"); // the note names the file, not its archive
    QTest::newRow("same record, same file") << true << QByteArray("\"v1\"") << true << false;
    QTest::newRow("same record, file changed on the server")
        << true << QByteArray("\"v2\"") << false << false;
    QTest::newRow("record changed") << false << QByteArray("\"v1\"") << false << false;
    QTest::newRow("note of an earlier launcher") << true << QByteArray("\"v1\"") << true << true;
}

// A run that gives up keeps its partial archive; the next run continues it
// only for the same record, and the server's validator guards the rest.
void TestDownload::partial_archive_resumes_in_a_later_run()
{
    QFETCH(bool, same_record);
    QFETCH(QByteArray, etag_later);
    QFETCH(bool, resumed);
    QFETCH(bool, earlier_note);
    const QByteArray data = patterned(1 << 20);
    const QByteArray archive = bz2_compress(data);
    const int cut = archive.size() * 9 / 10;
    fixture.route("GET", "/files/game.dat.bz2", ranged_response(archive, "\"v1\"", cut, 1));
    {
        WholeFileDownload first(here(), fetch(), target());
        first.set_expected(hash_text(data), -1);
        first.transfer().set_retry_delays({});
        QCOMPARE(run(first).error_code, 905);
    }
    QCOMPARE(QFileInfo(scratch_here().partial_archive_path(target())).size(), qint64(cut));
    if (earlier_note) {
        ScratchArea::PartialNote note;
        QVERIFY(scratch_here().read_note(target(), note) && note.url.endsWith(".bz2"));
        note.url.chop(4);
        QVERIFY(scratch_here().write_note(note));
    }

    fixture.clear_requests();
    fixture.route("GET", "/files/game.dat.bz2", ranged_response(archive, etag_later));
    const Outcome out = run_past_caches([&](WholeFileDownload &second) {
        second.set_expected(same_record ? hash_text(data) : QString("0000000"), -1);
    });
    QCOMPARE(out.error_code, same_record ? 0 : 906);
    QCOMPARE(read_file(target()) == data, same_record);
    const QList<RecordedRequest> requests = fixture.requests();
    QCOMPARE(requests.size(), same_record ? 1 : 3); // a wrong file is asked for past caches
    QCOMPARE(requests[0].header("Range").isEmpty(), !same_record);
    Q_UNUSED(resumed)
    QVERIFY(QDir(scratch_here().folder()).isEmpty());
}

// Dropped connections are retried after pauses; a server that stays down
// ends the transfer after the last attempt, with its partial kept.
void TestDownload::failed_connections_are_retried_with_pauses()
{
    const QByteArray data = patterned(100000);
    const QByteArray archive = bz2_compress(data);
    fixture.route("GET", "/files/game.dat.bz2", ranged_response(archive, "\"v1\"", 0, 2));
    WholeFileDownload downloader(here(), fetch(), target());
    downloader.set_expected(hash_text(data), -1);
    QStringList pauses;
    quick_retries(downloader, &pauses);
    QCOMPARE(run(downloader).events, QStringList({"extract_finished", "download_finished"}));
    QCOMPARE(pauses.size(), 2);
    QVERIFY(pauses[1].endsWith("3/4"));
    QVERIFY(read_file(target()) == data);

    fixture.route("GET", "/files/down.bz2", FixtureResponse {503, {}, "busy"});
    WholeFileDownload down(here(), fetch("down"), target("down"));
    down.set_expected(hash_text(data), -1);
    pauses.clear();
    quick_retries(down, &pauses);
    const Outcome out = run(down);
    QCOMPARE(out.events, QStringList({"error"}));
    QCOMPARE(out.error_text, QStringLiteral("Couldn't download file: down (server answered 503)"));
    QCOMPARE(pauses, QStringList({"Server busy 2/4", "Server busy 3/4", "Server busy 4/4"}));
    // Each pause is the one set for its retry, in order.
    WholeFileDownload paced(here(), fetch("down"), target("paced"));
    paced.transfer().set_retry_delays({1, 1001});
    QList<int> seconds;
    connect(&paced.transfer(), &Downloader::retrying, this,
            [&](const QString &, int pause, int, int) { seconds << pause; });
    QCOMPARE(run(paced).events, QStringList({"error"}));
    QCOMPARE(seconds, QList<int>({1, 2}));
}

// Links planted at the launcher's own names are replaced, never followed;
// a hard-linked target gets a new file instead of new bytes in both names.
void TestDownload::nothing_is_written_through_links()
{
#ifdef Q_OS_WIN
    QSKIP("POSIX links; the Windows walk is shown by tst_files");
#else
    QTemporaryDir outside;
    const QString victim = outside.filePath("victim");
    QVERIFY(write_file(victim, "precious"));
    QVERIFY(scratch_here().ensure());
    QVERIFY(QFile::link(victim, extraction_path(target())));
    QVERIFY(QFile::link(victim, scratch_here().partial_archive_path(target())));
    QVERIFY(QFile::link(victim, target("patch.bin")));
    const QString shared = outside.filePath("shared");
    QVERIFY(write_file(shared, "old content"));
    QCOMPARE(::link(QFile::encodeName(shared).constData(), QFile::encodeName(target()).constData()),
             0);

    const QByteArray data = patterned(50000);
    fixture.route("GET", "/files/game.dat.bz2", FixtureResponse {200, {}, bz2_compress(data)});
    fixture.route("GET", "/files/patch.bin.bz2", FixtureResponse {200, {}, "patch body"});
    WholeFileDownload whole(here(), fetch(), target());
    whole.set_expected(hash_text(data), data.size());
    QCOMPARE(run(whole).events, QStringList({"extract_finished", "download_finished"}));
    PatchDownload plain(fetch("patch.bin"), target("patch.bin"));
    QCOMPARE(run(plain).events, QStringList({"download_finished"}));

    QVERIFY(read_file(target()) == data);
    QCOMPARE(read_file("patch.bin"), QByteArray("patch body"));
    QCOMPARE(read_file(victim), QByteArray("precious"));
    QCOMPARE(read_file(shared), QByteArray("old content"));
#endif
}

void TestDownload::atomic_write_replaces_what_stands_at_the_name_data()
{
    QTest::addColumn<QString>("present"); // what stands at the name first
    QTest::addColumn<bool>("written");
    QTest::addColumn<int>("mode"); // of the file written
    QTest::newRow("nothing: readable by all") << "" << true << 0644;
    QTest::newRow("a plain file: its mode stays") << "file" << true << 0640;
    QTest::newRow("a link to an outside file: the link goes") << "link" << true << 0644;
    QTest::newRow("a missing folder: nothing is left") << "no folder" << false << 0;
}

// The name ends with the new bytes or, on failure, as it was; a link at the
// name is replaced, never written through, and no new file is left behind.
void TestDownload::atomic_write_replaces_what_stands_at_the_name()
{
    QFETCH(QString, present);
    QFETCH(bool, written);
    QFETCH(int, mode);
    QTemporaryDir outside;
    const QString victim = outside.filePath("victim");
    QVERIFY(write_file(victim, "precious"));
    const QString folder = present == "no folder" ? work->filePath("gone") : work->path();
    const QString path = folder + "/notes";
    if (present == "file")
        QVERIFY(write_file(path, "old notes") && ::chmod(QFile::encodeName(path).constData(), 0640) == 0);
    if (present == "link")
        QVERIFY(QFile::link(victim, path));

    QCOMPARE(atomic_file::write(path, "new notes"), written);
    if (written) {
        QVERIFY(!QFileInfo(path).isSymLink());
        QCOMPARE(read_file(path), QByteArray("new notes"));
#ifndef Q_OS_WIN // no permission bits there
        struct stat st
        {
        };
        QVERIFY(::stat(QFile::encodeName(path).constData(), &st) == 0);
        QCOMPARE(int(st.st_mode & 0777), mode);
#else
        Q_UNUSED(mode)
#endif
    }
    QCOMPARE(read_file(victim), QByteArray("precious"));
    QCOMPARE(QDir(work->path()).entryList({"notes.*"}, QDir::Files | QDir::Hidden), QStringList());
}

QTEST_GUILESS_MAIN(TestDownload)
#include "tst_download.moc"
