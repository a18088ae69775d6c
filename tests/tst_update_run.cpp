#include "patch_name.h"
#include "support/scratch_here.h"
#include "updater/file_hasher.h"
#include "updater/progress_text.h"
#include "updater/updater.h"
#include "updater/verify_cache.h"

#include "bz2_util.h"
#include "https_fixture.h"
#include "patch_format.h"
#include "support/test_files.h"
#include "test_paths.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <sys/sysmacros.h>
#endif

namespace {

FixtureResponse body(const QByteArray &data)
{
    FixtureResponse response;
    response.body = data;
    return response;
}

// What one run reported: "error <code>" and "finished <success>" in order,
// the status texts, and the span of stack addresses the progress came from.
struct RunLog
{
    QStringList events;
    QStringList statuses;
    quintptr stack_low = ~quintptr(0), stack_high = 0;
};

} // namespace

class TestUpdateRun : public QObject
{
    Q_OBJECT

private:
    // Large enough that the archive goes to disk and its extraction may
    // still run when the transfer has ended.
    static QByteArray stale_cache_old() { return QByteArray(300000, 'o') + "old"; }
    static QByteArray stale_cache_new()
    {
        QByteArray data(300000, '\0');
        QRandomGenerator(5).fillRange(reinterpret_cast<quint32 *>(data.data()), data.size() / 4);
        return data;
    }

    HttpsFixture fixture;
    std::unique_ptr<QTemporaryDir> work;
    QString prefix; // a fresh server folder for every case
    QMutex failures_mutex;

    QUrl base() const { return QUrl(fixture.base_url() + prefix); }
    QByteArray at(const QString &path) const { return (prefix + path).toUtf8(); }
    QStringList requested() const
    {
        QStringList paths;
        for (const RecordedRequest &request : fixture.requests())
            paths << QString(request.path).mid(prefix.size());
        return paths;
    }

    // Starts the update from the event loop, as the window does, waits for its
    // end and lets any stray queued work run before returning.
    static RunLog run_update(Updater &updater)
    {
        RunLog log;
        QEventLoop loop;
        connect(&updater, &Updater::update_finished, &loop, [&](bool success) {
            log.events << QString("finished %1").arg(success);
            loop.quit();
        });
        connect(&updater, &Updater::download_error, &loop,
                [&](int code, const QString &) { log.events << QString("error %1").arg(code); });
        connect(&updater, qOverload<qint64, qint64, const QString &>(&Updater::download_progress),
                &loop, [&](qint64, qint64, const QString &status) {
                    volatile char marker = 0;
                    log.stack_low = qMin(log.stack_low, quintptr(&marker));
                    log.stack_high = qMax(log.stack_high, quintptr(&marker));
                    log.statuses << status;
                });
        QMetaObject::invokeMethod(
            &loop, [&] { updater.start_update(); }, Qt::QueuedConnection);
        // Under Wine each patch program start takes about a second, longer
        // on a busy machine: 300 of them need minutes.
        QTimer::singleShot(800000, &loop, &QEventLoop::quit);
        loop.exec();
        QTest::qWait(100);
        return log;
    }

private slots:
    void initTestCase() { QVERIFY(fixture.start()); }

    void init()
    {
        work = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(work->path()));
        QVERIFY(QFile::link(bin_dir() + "/patcher.exe", "patcher.exe"));
        fixture.clear_requests();
        static int round = 0;
        prefix = QString("/run%1/").arg(++round);
    }

    void empty_plan_finishes_at_once()
    {
        Updater updater(base());
        const RunLog log = run_update(updater);
        QCOMPARE(log.events, QStringList {"finished 1"});
        QVERIFY(log.statuses.isEmpty() && fixture.requests().isEmpty());
    }

    // What a killed run left (a scratch folder entry, a half-made file
    // beside a planned target, a cut cache write) is cleared when the next
    // update starts; the player's own files stay.
    void leftovers_of_a_killed_run_are_cleared()
    {
        QVERIFY(scratch_here().ensure());
        QVERIFY(write_file(scratch_here().folder() + "/stale.patch", "x"));
        QVERIFY(write_file(extraction_path("game.dat"), "half"));
        QVERIFY(write_file(VerifyCache::file_name() + ".Ab12Cd", "cut"));
        QVERIFY(write_file("notes.txt", "the player's"));
        fixture.route("GET", at("game.dat.bz2"), body(bz2_compress("game")));
        Updater updater(base());
        updater.verify_files(
            {{"game.dat", QJsonObject {{"hash", FileHasher::hash_text_of("game")}}}}, base());
        QCOMPARE(run_update(updater).events, QStringList {"finished 1"});
        QVERIFY(!QFileInfo::exists(scratch_here().folder())); // empty, so gone
        QStringList left = QDir().entryList(QDir::Files | QDir::Hidden);
        left.removeAll(VerifyCache::file_name());
        QCOMPARE(left, QStringList({"game.dat", "notes.txt", "patcher.exe"}));
    }

    // A FIFO or a device at the verification cache's name is no cache: the
    // verification reads every file instead of waiting for a writer or
    // reading a device that never ends (/dev/zero's numbers), and a fresh
    // cache takes the name.
    void fifo_at_cache_name_data()
    {
        QTest::addColumn<bool>("device");
        QTest::newRow("FIFO") << false;
        QTest::newRow("character device") << true;
    }
    void fifo_at_cache_name()
    {
#ifdef Q_OS_WIN
        QSKIP("FIFOs and device nodes are POSIX files");
#else
        QFETCH(bool, device);
        const QByteArray name = QFile::encodeName(VerifyCache::file_name());
        if (device && ::mknod(name.constData(), S_IFCHR | 0644, makedev(1, 5)) != 0)
            QSKIP("cannot make a device node here");
        if (!device)
            QCOMPARE(::mkfifo(name.constData(), 0644), 0);
        fixture.route("GET", at("game.dat.bz2"), body(bz2_compress("game")));
        Updater updater(base());
        QElapsedTimer verifying;
        verifying.start();
        updater.verify_files(
            {{"game.dat", QJsonObject {{"hash", FileHasher::hash_text_of("game")}}}}, base());
        QVERIFY2(verifying.elapsed() < 2000, "the cache's name was read as a file");
        QCOMPARE(run_update(updater).events, QStringList {"finished 1"});
        QCOMPARE(read_file("game.dat"), QByteArray("game"));
        QVERIFY(QFileInfo(VerifyCache::file_name()).isFile());
#endif
    }

    // The first failed extraction of each run is reported, the second run's
    // on the same Updater too.
    void every_run_reports_its_extraction_error()
    {
        QByteArray large(2 << 20, '\0');
        QRandomGenerator(9).fillRange(reinterpret_cast<quint32 *>(large.data()), large.size() / 4);
        fixture.route("GET", at("a.dat.bz2"), body(bz2_compress(large)));
        Updater updater(base());
        for (int run = 1; run <= 2; ++run) {
            updater.verify_files({{"a.dat", QJsonObject {{"hash", "1234567"}}}}, base());
            QCOMPARE(run_update(updater).events, QStringList({"error 906", "finished 0"}));
        }
    }

    void patch_steps_data()
    {
        QTest::addColumn<QStringList>("chain"); // "01": from version 0 to version 1
        QTest::addColumn<QString>("broken");
        QTest::addColumn<QStringList>("expected"); // request, and game.dat's version by then
        QTest::addColumn<qint64>("total_steps"); // 2 or 3 when planned
        QTest::newRow("two patches") << QStringList {"01", "12"} << ""
                                     << QStringList {"p01 v0", "p12 v0", "other v2"} << 3LL;
        // A broken patch is asked for twice more past caches, then the file
        // is fetched whole.
        QTest::newRow("first of two fails")
            << QStringList {"01", "12"} << "01"
            << QStringList {"p01 v0", "p01 v0", "p01 v0", "other v0", "game v0"} << 5LL;
        QTest::newRow("only patch fails")
            << QStringList {"02"} << "02"
            << QStringList {"p02 v0", "p02 v0", "p02 v0", "other v0", "game v0"} << 5LL;
    }
    void patch_steps()
    {
        QFETCH(QStringList, chain);
        QFETCH(QString, broken);
        QFETCH(QStringList, expected);
        QFETCH(qint64, total_steps);
        QList<QByteArray> versions;
        QStringList hashes;
        for (const char *tail : {"zero", "one", "two"}) {
            versions << QByteArray(20000, 'a') + tail;
            hashes << FileHasher::hash_text_of(versions.last());
        }
        QMutex mutex;
        QStringList seen;
        auto serve = [&](const QString &path, const QString &label, const QByteArray &data) {
            fixture.route("GET", at(path), [&, label, data](const RecordedRequest &) {
                QMutexLocker lock(&mutex);
                const int version = hashes.indexOf(FileHasher::hash_text("game.dat"));
                seen << label + " v" + QString::number(version);
                return body(data);
            });
        };
        QJsonArray names;
        for (const QString &code : chain) {
            const int from = code[0].digitValue(), to = code[1].digitValue();
            names.append(PatchName::compose("game.dat", hashes[from], hashes[to]));
            QByteArray patch = "broken";
            QVERIFY(code == broken || make_patch(versions[from], versions[to], &patch).ok);
            serve("patches/" + names.last().toString() + ".bz2", "p" + code, patch);
        }
        serve("other.dat.bz2", "other", bz2_compress("other"));
        serve("game.dat.bz2", "game", bz2_compress(versions[2]));
        QVERIFY(write_file("game.dat", versions[0]));

        Updater updater(base());
        updater.verify_files(
            {{"game.dat", QJsonObject {{"hash", hashes[2]}, {"patches", names}}},
             {"other.dat", QJsonObject {{"hash", FileHasher::hash_text_of("other")}}}},
            base());
        QCOMPARE(run_update(updater).events, QStringList {"finished 1"});
        QCOMPARE(seen, expected);
        QCOMPARE(updater.get_total_steps(), total_steps);
        QCOMPARE(read_file("game.dat"), versions[2]);
        QCOMPARE(read_file("other.dat"), QByteArray("other"));
        QCOMPARE(QDir().entryList(QDir::Files),
                 QStringList({"game.dat", "other.dat", "patcher.exe"}));
    }

    void stale_cache_is_bypassed_data()
    {
        QTest::addColumn<bool>("patched"); // the stale answers are of a patch
        QTest::addColumn<QString>("fresh_for"); // "no-cache", "query" or "" (never)
        QTest::addColumn<QStringList>("expected"); // requests, with "?" for the query
        QTest::addColumn<QString>("outcome");
        const QString patch = "patches/" +
            PatchName::compose("game.dat", FileHasher::hash_text_of(stale_cache_old()),
                               FileHasher::hash_text_of(stale_cache_new())) +
            ".bz2";
        const QString whole = "game.dat.bz2";
        QTest::newRow("whole file, no-cache honoured")
            << false << "no-cache" << QStringList {whole, whole} << "finished 1";
        QTest::newRow("whole file, fresh for the query")
            << false << "query" << QStringList {whole, whole, whole + "?"} << "finished 1";
        QTest::newRow("whole file, every answer stale")
            << false << "" << QStringList {whole, whole, whole + "?"} << "error 906";
        QTest::newRow("patch, no-cache honoured")
            << true << "no-cache" << QStringList {patch, patch} << "finished 1";
        QTest::newRow("patch, fresh for the query")
            << true << "query" << QStringList {patch, patch, patch + "?"} << "finished 1";
        QTest::newRow("patch, every answer stale")
            << true << "" << QStringList {patch, patch, patch + "?", whole} << "finished 1";
    }
    // Behind a cache that keeps an earlier release's answers, a whole file
    // (its extraction may end while the next step runs) and a patch are asked
    // for past the cache; success is told only with the new file in place.
    void stale_cache_is_bypassed()
    {
        QFETCH(bool, patched);
        QFETCH(QString, fresh_for);
        QFETCH(QStringList, expected);
        QFETCH(QString, outcome);
        const QByteArray old_content = stale_cache_old(), new_content = stale_cache_new();
        const QString new_hash = FileHasher::hash_text_of(new_content);
        const QString patch_name =
            PatchName::compose("game.dat", FileHasher::hash_text_of(old_content), new_hash);
        QByteArray patch;
        QVERIFY(make_patch(old_content, new_content, &patch).ok);
        const QByteArray right = patched ? patch : bz2_compress(new_content);
        const QByteArray stale = patched ? QByteArray("damaged patch") : bz2_compress(old_content);
        const QString served = patched ? "patches/" + patch_name + ".bz2" : "game.dat.bz2";
        fixture.route("GET", at(served), [=](const RecordedRequest &request) {
            const bool past_caches = request.header("Cache-Control") == "no-cache" &&
                request.header("Pragma") == "no-cache";
            const bool fresh = (fresh_for == "no-cache" && past_caches) ||
                (fresh_for == "query" && past_caches && request.query == "h=" + new_hash);
            return body(fresh ? right : stale);
        });
        if (patched)
            fixture.route("GET", at("game.dat.bz2"), body(bz2_compress(new_content)));
        QVERIFY(write_file("game.dat", old_content));
        Updater updater(base());
        updater.verify_files(
            {{"game.dat",
              QJsonObject {{"hash", new_hash},
                           {"patches", patched ? QJsonArray {patch_name} : QJsonArray()}}}},
            base());
        QByteArray at_the_end;
        connect(&updater, &Updater::update_finished, this,
                [&] { at_the_end = read_file("game.dat"); });
        const RunLog log = run_update(updater);
        QCOMPARE(log.events.first(), outcome);
        QStringList asked;
        for (const RecordedRequest &request : fixture.requests())
            asked << QString(request.path).mid(prefix.size()) +
                    (request.query.isEmpty() ? "" : "?");
        QCOMPARE(asked, expected);
        QVERIFY(at_the_end == (outcome == "error 906" ? old_content : new_content));
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).filter("saltmarch-new"),
                 QStringList());
    }

    // A small archive of a large file is still decoding when its transfer
    // ends, so it is judged later; one that is not the file is asked for
    // again as one more step, from its first byte and past caches.
    void file_judged_later_is_fetched_again_past_caches()
    {
        const QByteArray old_content(16 << 20, 'o'), new_content(16 << 20, 'n');
        const QByteArray stale = bz2_compress(old_content), right = bz2_compress(new_content);
        fixture.route("GET", at("game.dat.bz2"), [=](const RecordedRequest &request) {
            return body(request.header("Cache-Control") == "no-cache" ? right : stale);
        });
        Updater updater(base());
        updater.verify_files(
            {{"game.dat", QJsonObject {{"hash", FileHasher::hash_text_of(new_content)},
                                       {"size", new_content.size()}}}},
            base());
        QCOMPARE(run_update(updater).events, QStringList {"finished 1"});
        QCOMPARE(updater.get_total_steps(), qint64(2));
        // The run used up its plan, the file fetched again included.
        QVERIFY(updater.get_file_queue().isEmpty());
        const QList<RecordedRequest> requests = fixture.requests();
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests[0].header("Cache-Control"), QByteArray());
        QCOMPARE(requests[1].header("Cache-Control"), QByteArray("no-cache"));
        QCOMPARE(requests[1].header("Pragma"), QByteArray("no-cache"));
        for (const RecordedRequest &request : requests)
            QVERIFY(request.header("Range").isEmpty() && request.query.isEmpty());
        QVERIFY(read_file("game.dat") == new_content);
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).filter("saltmarch-new"),
                 QStringList());
    }

    // Files of a few hundred KiB, more than the scratch folder's share holds
    // at once: the archives beyond it wait in memory. Each still comes out
    // right, one that is not the file is fetched again past caches, and
    // nothing is left behind.
    void medium_files_beyond_the_scratch_share()
    {
        QJsonObject files;
        QHash<QString, QByteArray> contents;
        for (int i = 0; i < 8; ++i) {
            const QString name = QString("file%1.dat").arg(i);
            QByteArray content(300000 + i, '\0');
            QRandomGenerator(quint32(i)).fillRange(reinterpret_cast<quint32 *>(content.data()),
                                                   content.size() / 4);
            contents.insert(name, content);
            files.insert(name, QJsonObject {{"hash", FileHasher::hash_text_of(content)},
                                            {"size", content.size()}});
            const QByteArray right = bz2_compress(content);
            // The sixth one first comes as the archive of another content.
            const QByteArray wrong = i == 5 ? bz2_compress(content.left(299999) + "x") : right;
            fixture.route("GET", at(name + ".bz2"), [=](const RecordedRequest &request) {
                return body(request.header("Cache-Control") == "no-cache" ? right : wrong);
            });
        }
        Updater updater(base());
        updater.verify_files(files, base());
        QCOMPARE(run_update(updater).events, QStringList {"finished 1"});
        QCOMPARE(fixture.requests().size(), 9);
        for (auto it = contents.cbegin(); it != contents.cend(); ++it)
            QVERIFY(read_file(it.key()) == it.value());
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).filter("saltmarch-new"),
                 QStringList());
        QVERIFY(!QFileInfo::exists(scratch_here().folder()));
    }

    void transfer_error_ends_run_data()
    {
        QByteArray large(200000, '\0');
        QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(large.data()),
                                      large.size() / 4);
        QTest::addColumn<QString>("first");
        QTest::addColumn<QByteArray>("served");
        QTest::addColumn<QString>("error");
        QTest::addColumn<QStringList>("requests");
        QTest::newRow("unwritable target")
            << "a/missing.dat" << QByteArray("not bzip2") << "error 902" << QStringList {};
        QTest::newRow("damaged archive")
            << "a.dat" << QByteArray("not bzip2") << "error -5" << QStringList {"a.dat.bz2"};
        QTest::newRow("large archive, other content")
            << "a.dat" << bz2_compress(large) << "error 906" << QStringList {"a.dat.bz2"};
    }
    // The run ends with the failed file's error, even when that file's
    // extraction fails only while later files are on their way; nothing
    // half-made is left, and what was installed meanwhile is whole.
    void transfer_error_ends_run()
    {
        QFETCH(QString, first);
        QFETCH(QByteArray, served);
        QFETCH(QString, error);
        QFETCH(QStringList, requests);
        fixture.route("GET", at("a.dat.bz2"), body(served));
        fixture.route("GET", at("b.dat.bz2"), body(bz2_compress(QByteArray(100000, 'b'))));
        fixture.route("GET", at("c.dat.bz2"), body(bz2_compress("c")));
        Updater updater(base());
        const QString b_hash = FileHasher::hash_text_of(QByteArray(100000, 'b'));
        updater.verify_files({{first, QJsonObject {{"hash", "1234567"}}},
                              {"b.dat", QJsonObject {{"hash", b_hash}}},
                              {"c.dat", QJsonObject {{"hash", FileHasher::hash_text_of("c")}}}},
                             base());
        QCOMPARE(run_update(updater).events, QStringList({error, "finished 0"}));
        QCOMPARE(requested().mid(0, requests.size()), requests);
        QVERIFY(!QFileInfo::exists("a.dat"));
        QVERIFY(!QFileInfo::exists("c.dat") || read_file("c.dat") == "c");
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden).filter("saltmarch-new"),
                 QStringList());
    }

    // A busy answer's Retry-After holds the next request back, for a patch
    // as for a whole file, however short the usual pause.
    void busy_answer_waits_as_asked_data()
    {
        QTest::addColumn<bool>("patch");
        QTest::addColumn<int>("status");
        QTest::newRow("patch, 429") << true << 429;
        QTest::newRow("patch, 503") << true << 503;
        QTest::newRow("whole file, 429") << false << 429;
    }
    void busy_answer_waits_as_asked()
    {
        QFETCH(bool, patch);
        QFETCH(int, status);
        const QByteArray v0 = QByteArray(20000, 'a') + "zero", v1 = QByteArray(20000, 'a') + "one";
        const QString name = PatchName::compose("game.dat", FileHasher::hash_text_of(v0),
                                                FileHasher::hash_text_of(v1));
        QByteArray patch_data;
        QVERIFY(make_patch(v0, v1, &patch_data).ok);
        QMutex mutex;
        QList<qint64> times;
        QElapsedTimer clock;
        clock.start();
        const QString path = patch ? "patches/" + name + ".bz2" : "game.dat.bz2";
        const QByteArray served = patch ? patch_data : bz2_compress(v1);
        fixture.route("GET", at(path), [&](const RecordedRequest &) {
            QMutexLocker lock(&mutex);
            times << clock.elapsed();
            FixtureResponse response = body(served);
            if (times.size() == 1) {
                response.status = status;
                response.body = "busy";
                response.headers = {{"Retry-After", "2"}};
            }
            return response;
        });
        QVERIFY(write_file("game.dat", v0));
        Updater updater(base());
        updater.set_retry_delays({20, 20});
        QJsonObject entry {{"hash", FileHasher::hash_text_of(v1)}};
        if (patch)
            entry.insert("patches", QJsonArray {name});
        updater.verify_files({{"game.dat", entry}}, base());
        QCOMPARE(run_update(updater).events, QStringList {"finished 1"});
        QCOMPARE(read_file("game.dat"), v1);
        QMutexLocker lock(&mutex);
        QCOMPARE(times.size(), 2);
        QVERIFY2(times[1] - times[0] >= 1900, qPrintable(QString::number(times[1] - times[0])));
    }

    // Small files are asked for ahead, each once and with the headers of any
    // other transfer; a request sent ahead that fails is retried as usual.
    void small_files_are_requested_ahead()
    {
        QJsonObject files;
        QStringList expected;
        int failures = 1;
        for (const char *name : {"a.dat", "b.dat", "c.dat", "d.dat"}) {
            const QByteArray content = QByteArray(name).repeated(500);
            files.insert(name, QJsonObject {{"hash", FileHasher::hash_text_of(content)},
                                            {"size", content.size()}});
            expected << QString(name) + ".bz2";
            fixture.route("GET", at(expected.last()), [&, content](const RecordedRequest &) {
                QMutexLocker lock(&failures_mutex);
                FixtureResponse response = body(bz2_compress(content));
                if (content.startsWith("c.dat") && failures-- > 0)
                    response.status = 500;
                return response;
            });
        }
        Updater updater(base());
        updater.set_retry_delays({10});
        updater.verify_files(files, base());
        QCOMPARE(run_update(updater).events, QStringList {"finished 1"});
        expected.insert(3, "c.dat.bz2");
        QStringList asked = requested();
        std::sort(asked.begin(), asked.end());
        QCOMPARE(asked, expected);
        for (const RecordedRequest &request : fixture.requests())
            QVERIFY(request.header("Range").isEmpty() &&
                    request.header("User-Agent") == USER_AGENT.toUtf8());
        for (auto it = files.begin(); it != files.end(); ++it)
            QCOMPARE(read_file(it.key()), it.key().toUtf8().repeated(500));
    }

    // A server whose answers are slow to come (a distant one) gets more of
    // the small files' requests at once than the six connections the network
    // layer keeps per manager, and every file still arrives whole.
    void slow_server_gets_more_requests_at_once()
    {
        QJsonObject files;
        std::atomic<int> under_way {0};
        std::atomic<int> most {0};
        for (int i = 0; i < 80; ++i) {
            const QString name = QString("s%1.dat").arg(i);
            const QByteArray content = name.toUtf8().repeated(100);
            files.insert(name,
                         QJsonObject {{"hash", FileHasher::hash_text_of(content)},
                                      {"size", content.size()}});
            fixture.route("GET", at(name + ".bz2"), [&, content](const RecordedRequest &) {
                const int now = ++under_way;
                for (int seen = most; now > seen && !most.compare_exchange_weak(seen, now);) { }
                // Slow enough that the server, not a loaded client, is what
                // keeps the requests waiting.
                QThread::msleep(150);
                --under_way;
                return body(bz2_compress(content));
            });
        }
        Updater updater(base());
        updater.verify_files(files, base());
        QCOMPARE(run_update(updater).events, QStringList {"finished 1"});
        for (auto it = files.begin(); it != files.end(); ++it)
            QCOMPARE(read_file(it.key()), it.key().toUtf8().repeated(100));
        QVERIFY2(most > 6, qPrintable(QString::number(most)));
    }

    void many_steps_run_without_stack_growth_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<bool>("patched"); // patch steps finish inside their own transfer
        QTest::newRow("5000 one-byte files") << 5000 << false;
        QTest::newRow("300 patches") << 300 << true;
    }
    void many_steps_run_without_stack_growth()
    {
        QFETCH(int, count);
        QFETCH(bool, patched);
        QTemporaryDir served;
        QVERIFY(QDir(served.path()).mkpath("patches"));
        QByteArray patch;
        QVERIFY(make_patch("a", "b", &patch).ok);
        const QString from = FileHasher::hash_text_of("a"), to = FileHasher::hash_text_of("b");
        QJsonObject files;
        QStringList expected;
        for (int i = 0; i < count; ++i) {
            const QString name = QString("f%1.dat").arg(i, 4, 10, QChar('0'));
            const QString patch_name = PatchName::compose(name, from, to);
            QVERIFY(write_file(name, "a"));
            expected << (patched ? "patches/" + patch_name : name) + ".bz2";
            QVERIFY(
                write_file(served.filePath(expected.last()), patched ? patch : bz2_compress("b")));
            files.insert(
                name,
                QJsonObject {{"hash", to},
                             {"patches", patched ? QJsonArray {patch_name} : QJsonArray()}});
        }
        fixture.serve_directory(prefix.toUtf8(), served.path());
        Updater updater(base());
        updater.verify_files(files, base());
        // Success is told only once every file is in place. The verdict is
        // checked first: a run that ended in an error (a patch that failed
        // and a whole file the server lacks) also leaves files behind.
        int in_place = -1;
        QStringList not_in_place;
        connect(&updater, &Updater::update_finished, this, [&] {
            in_place = 0;
            for (auto it = files.begin(); it != files.end(); ++it) {
                const bool done = read_file(it.key()) == "b";
                in_place += done;
                if (!done)
                    not_in_place << it.key();
            }
        });
        const RunLog log = run_update(updater);
        QCOMPARE(log.events, QStringList {"finished 1"});
        QVERIFY2(in_place == count, qPrintable(QString("%1 of %2 in place; not: %3")
                                                   .arg(in_place)
                                                   .arg(count)
                                                   .arg(not_in_place.join(", "))));
        QCOMPARE(requested(), expected);
        QVERIFY(log.statuses.last().startsWith(QString("Updating file %1 of %1...").arg(count)));
        // Many of these steps are over within their first millisecond.
        for (const QString &status : log.statuses)
            QVERIFY2(!status.contains("inf") && !status.contains("nan"), qPrintable(status));
        QCOMPARE(read_file(files.keys().last()), QByteArray("b"));
        QVERIFY2(log.stack_high - log.stack_low < 64 * 1024,
                 qPrintable(QString::number(log.stack_high - log.stack_low)));
    }

    void status_text_data()
    {
        QTest::addColumn<qint64>("read");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<qint64>("elapsed_ms");
        QTest::addColumn<qint64>("run_bytes");
        QTest::addColumn<qint64>("run_ms");
        QTest::addColumn<QString>("amounts");
        QTest::newRow("worked example")
            << 1536000LL << 3145728LL << 2000LL << 0LL << 0LL << "[1.5/3MB @ 750kB/s]";
        QTest::newRow("below 1024") << 512LL << 1023LL << 1000LL << 0LL << 0LL
                                    << "[512/1023B @ 512B/s]";
        QTest::newRow("1024 is kB") << 512LL << 1024LL << 1000LL << 0LL << 0LL
                                    << "[0.5/1kB @ 512B/s]";
        QTest::newRow("just below MB") << 0LL << 1048575LL << 1000LL << 0LL << 0LL
                                       << "[0/1024kB @ 0B/s]";
        QTest::newRow("1048576 is MB") << 1048576LL << 1048576LL << 1000LL << 0LL << 0LL
                                       << "[1/1MB @ 1MB/s]";
        QTest::newRow("unknown total")
            << 5242880LL << -1LL << 1000LL << 0LL << 0LL << "[5.24288e+06/-1B @ 5MB/s]";
        // The step's own average wins wherever it can be timed.
        QTest::newRow("step timed, run ignored")
            << 2048LL << 4096LL << 2LL << 8192000LL << 1000LL << "[2/4kB @ 1000kB/s]";
        // A step too short to time shows the run's average, never inf or nan.
        QTest::newRow("no time, bytes: the run's")
            << 10LL << 100LL << 0LL << 3145728LL << 1500LL << "[10/100B @ 2MB/s]";
        QTest::newRow("no time, no bytes: the run's")
            << 0LL << 100LL << 0LL << 1536000LL << 2000LL << "[0/100B @ 750kB/s]";
        QTest::newRow("no time in the run either")
            << 10LL << 100LL << 0LL << 10LL << 0LL << "[10/100B @ 0B/s]";
        QTest::newRow("nothing timed, nothing read")
            << 0LL << 100LL << 0LL << 0LL << 0LL << "[0/100B @ 0B/s]";
    }
    void status_text()
    {
        QFETCH(qint64, read);
        QFETCH(qint64, total);
        QFETCH(qint64, elapsed_ms);
        QFETCH(qint64, run_bytes);
        QFETCH(qint64, run_ms);
        QFETCH(QString, amounts);
        QCOMPARE(ProgressText::format(3, 12, read, total, elapsed_ms, "data/%1 50%.pak",
                                      run_bytes, run_ms),
                 "Updating file 3 of 12...\ndata/%1 50%.pak\n" + amounts);
    }
};

int main(int argc, char **argv)
{
    // A run of 300 patch program starts outlasts QtTest's five minutes per
    // test function under Wine, which passes no QTEST_FUNCTION_TIMEOUT in
    // from outside: the suite sets its own (CTest still bounds the whole).
    if (!qEnvironmentVariableIsSet("QTEST_FUNCTION_TIMEOUT"))
        qputenv("QTEST_FUNCTION_TIMEOUT", "900000");
    QCoreApplication app(argc, argv);
    TestUpdateRun test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_update_run.moc"
