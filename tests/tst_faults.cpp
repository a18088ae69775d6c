#include "app/constants.h"
#include "login/login_client.h"
#include "patch_name.h"
#include "support/scratch_here.h"
#include "updater/file_hasher.h"
#include "updater/updater.h"
#include "updater/verify_cache.h"

#include "bz2_util.h"
#include "https_fixture.h"
#include "patch_format.h"
#include "ranged_response.h"
#include "test_files.h"
#include "test_paths.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

#include <unistd.h>

#include <atomic>
#include <memory>

Q_DECLARE_METATYPE(FixtureResponse)

namespace {

const int SHORT_TIMEOUT_MS = 2000;
const int RUN_LIMIT_MS = 180000;

QByteArray noise(int size, quint32 seed)
{
    QRandomGenerator generator(seed);
    QByteArray data(size, Qt::Uninitialized);
    for (char &c : data)
        c = char(generator.bounded(256));
    return data;
}

FixtureResponse answer(const QByteArray &body, int status = 200)
{
    FixtureResponse response;
    response.status = status;
    response.body = body;
    return response;
}

FixtureResponse cut_after(const QByteArray &body, int bytes)
{
    FixtureResponse response = answer(body);
    response.close_after_bytes = bytes;
    return response;
}

FixtureResponse stalled_after(const QByteArray &body, int bytes)
{
    FixtureResponse response = answer(body);
    response.stall_after_bytes = bytes;
    return response;
}

// Stalls end with the updater's inactivity limit, shortened for the test;
// every other answer keeps the normal limit.
int timeout_for(const FixtureResponse &fault)
{
    return fault.stall_after_bytes >= 0 ? SHORT_TIMEOUT_MS : NETWORK_INACTIVITY_TIMEOUT_MS;
}

bool is_root()
{
    return ::geteuid() == 0;
}

// What one update run reported, in order.
struct RunLog
{
    QStringList errors; // "code: text", as the window shows them
    QStringList finished;
};

RunLog run_update(Updater &updater)
{
    RunLog log;
    QEventLoop loop;
    QObject::connect(&updater, &Updater::download_error, &loop, [&](int code, const QString &what) {
        log.errors << QString::number(code) + ": " + what;
    });
    QObject::connect(&updater, &Updater::update_finished, &loop, [&](bool success) {
        log.finished << (success ? "true" : "false");
        loop.quit();
    });
    QMetaObject::invokeMethod(&updater, &Updater::start_update, Qt::QueuedConnection);
    QTimer::singleShot(RUN_LIMIT_MS, &loop, &QEventLoop::quit);
    loop.exec();
    return log;
}

} // namespace

// Faults of the network, the disk and the patch program during an update. Each
// case checks what the player is told and then the install folder file by file
// against the manifest; where the fault can heal, a second verification and
// update against a sound server must bring the folder to the manifest.
class TestFaults : public QObject
{
    Q_OBJECT

private:
    HttpsFixture fixture;
    QTemporaryDir aux; // the CA file for the driver; outside the install folder
    std::unique_ptr<QTemporaryDir> install;
    QString mounted; // a tmpfs mounted by the test, unmounted in cleanup()
    QByteArray game_v1 = noise(60000, 1);
    // New content in the middle, so the patch is large enough to be cut.
    QByteArray game_v2 = game_v1.left(30000) + noise(40000, 2) + game_v1.mid(30000);
    QByteArray level = QByteArray("level data ").repeated(50000); // small archive, big file
    QString patch_name = PatchName::compose("game.dat", FileHasher::hash_text_of(game_v1),
                                            FileHasher::hash_text_of(game_v2));
    QByteArray patch;

    QUrl base() const { return QUrl(fixture.base_url() + "/win32/"); }
    QByteArray level_path() const { return "/win32/data/level.pak.bz2"; }
    QByteArray game_path() const { return "/win32/game.dat.bz2"; }
    QByteArray patch_path() const { return "/win32/patches/" + patch_name.toUtf8() + ".bz2"; }

    QJsonObject manifest_files() const
    {
        return QJsonObject {
            {"data/level.pak",
             QJsonObject {{"path", "data"}, {"hash", FileHasher::hash_text_of(level)}}},
            {"game.dat",
             QJsonObject {{"path", ""},
                          {"hash", FileHasher::hash_text_of(game_v2)},
                          {"patches", QJsonArray {patch_name}}}}};
    }
    QByteArray manifest() const
    {
        return QJsonDocument(QJsonObject {{"server-version", "2.0"}, {"files", manifest_files()}})
            .toJson();
    }

    void serve_release()
    {
        fixture.route("GET", "/win32/patcher.json", answer(manifest()));
        fixture.route("GET", level_path(), answer(bz2_compress(level)));
        fixture.route("GET", game_path(), answer(bz2_compress(game_v2)));
        fixture.route("GET", patch_path(), answer(patch));
    }

    // Listed files whose local hash text differs from the manifest's.
    QStringList stale_files() const
    {
        QStringList stale;
        const QJsonObject files = manifest_files();
        for (auto it = files.begin(); it != files.end(); ++it) {
            if (FileHasher::hash_text(it.key()) != it.value().toObject().value("hash").toString())
                stale << it.key();
        }
        return stale;
    }

    // Files in the install folder that the manifest does not list (the patch
    // program a test put there and the launcher's verification cache left out).
    QStringList stray_files() const
    {
        QStringList stray;
        QDirIterator it(".", QDir::Files | QDir::Hidden | QDir::System,
                        QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString name = QDir().relativeFilePath(it.next());
            if (!manifest_files().contains(name) && name != "patcher.exe" &&
                name != VerifyCache::file_name() &&
                !name.startsWith(QDir().relativeFilePath(scratch_here().folder()) + "/"))
                stray << name;
        }
        stray.sort();
        return stray;
    }

    // What the launcher keeps in its scratch folder (partial archives).
    QStringList scratch_files() const
    {
        return QDir(scratch_here().folder()).entryList(QDir::Files | QDir::Hidden);
    }

    RunLog update_once(int timeout_ms = NETWORK_INACTIVITY_TIMEOUT_MS)
    {
        Updater updater(base());
        updater.set_network_timeout(timeout_ms);
        updater.set_retry_delays({10, 10, 10});
        updater.parse_manifest(manifest(), base(), true);
        return run_update(updater);
    }

    // A sound server and a fresh verification bring the folder to the manifest.
    void recover()
    {
        serve_release();
        const RunLog log = update_once();
        QCOMPARE(log.errors, QStringList());
        QCOMPARE(log.finished, QStringList {"true"});
        QCOMPARE(stale_files(), QStringList());
        QCOMPARE(stray_files(), QStringList());
        QCOMPARE(scratch_files(), QStringList());
    }

    QList<QByteArray> requested_paths() const
    {
        QList<QByteArray> paths;
        for (const RecordedRequest &request : fixture.requests())
            paths << request.path;
        return paths;
    }

    // Mounts a tmpfs on dir; returns why not when that cannot be done here.
    QString mount_tmpfs(const QString &dir, const QString &options)
    {
        if (!is_root())
            return "needs root to mount a small file system";
        if (QProcess::execute("mount", {"-t", "tmpfs", "-o", options, "tmpfs", dir}) != 0)
            return "mounting a tmpfs is not permitted here";
        mounted = dir;
        return QString();
    }
    void unmount()
    {
        if (!mounted.isEmpty())
            QProcess::execute("umount", {mounted});
        mounted.clear();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(fixture.start());
        QVERIFY(make_patch(game_v1, game_v2, &patch).ok);
        QVERIFY(write_file(aux.filePath("ca.pem"), fixture.ca_pem()));
    }

    void init()
    {
        install = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(install->path()));
        serve_release();
        QVERIFY(write_file("game.dat", game_v1));
        fixture.clear_requests();
    }

    void cleanup()
    {
        // Out of a mounted folder first: a failed case may have left us in it.
        QDir::setCurrent(QDir::tempPath());
        unmount();
        QFile::setPermissions(install->filePath("data"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        install.reset();
    }

    void whole_file_transfer_fault_data()
    {
        const QByteArray archive = bz2_compress(level);
        // The final error says why the last attempt failed.
        const auto failed = [](const QString &why) {
            return "905: " + TEXT_FAILED_BECAUSE.arg(TEXT_DOWNLOAD_FAILED.arg("level.pak"), why);
        };
        QTest::addColumn<FixtureResponse>("fault");
        QTest::addColumn<QString>("error");
        QTest::addColumn<int>("attempts");
        QTest::newRow("closed mid-body")
            << cut_after(archive, archive.size() / 2) << failed("connection lost") << 4;
        // Each attempt gets a few bytes and then nothing: no progress, so the
        // retries end after two time-outs.
        // Which limit strikes first, the inactivity or the low-speed one, is
        // a race: either text ("|" separates what is accepted).
        QTest::newRow("stalled mid-body") << stalled_after(archive, archive.size() / 2)
                                          << failed("server not responding") + "|" +
                failed("server too slow")
                                          << 2;
        QTest::newRow("404") << answer("not found\n", 404) << failed(TEXT_SERVER_ANSWERED.arg(404))
                             << 1;
        QTest::newRow("500") << answer(archive, 500) << failed(TEXT_SERVER_ANSWERED.arg(500)) << 4;
        QTest::newRow("html with 200")
            << answer("<html>maintenance</html>")
            << "-5: " + TEXT_EXTRACT_FAILED.arg("level.pak.bz2") << 1;
        QTest::newRow("empty body")
            << answer("") << "-7: " + TEXT_EXTRACT_FAILED.arg("level.pak.bz2") << 1;
        // Asked for twice more past caches before it counts as damaged.
        QTest::newRow("other content")
            << answer(bz2_compress(game_v2)) << "906: " + TEXT_FILE_DAMAGED.arg("level.pak") << 3;
    }
    // The run stops at the failed file with a text that says what failed;
    // nothing half-made is installed, and the next run, against a sound
    // server, completes the update.
    void whole_file_transfer_fault()
    {
        QFETCH(FixtureResponse, fault);
        QFETCH(QString, error);
        QFETCH(int, attempts);
        fixture.route("GET", level_path(), fault);
        const RunLog log = update_once(timeout_for(fault));
        QCOMPARE(log.errors.size(), 1);
        QVERIFY2(error.split('|').contains(log.errors[0]), qPrintable(log.errors[0]));
        QCOMPARE(log.finished, QStringList {"false"});
        QList<QByteArray> expected;
        for (int i = 0; i < attempts; ++i)
            expected << level_path(); // the run stopped there
        QCOMPARE(requested_paths(), expected);
        QCOMPARE(stale_files(), QStringList({"data/level.pak", "game.dat"}));
        QVERIFY(!QFileInfo::exists("data/level.pak"));
        QCOMPARE(read_file("game.dat"), game_v1);
        QCOMPARE(stray_files(), QStringList());
        // A partial archive is kept on disk only once it is large enough to
        // be worth resuming in a later run; this small one stayed in memory.
        QVERIFY(!scratch_files().contains(
            QFileInfo(scratch_here().partial_archive_path("data/level.pak")).fileName()));
        recover();
    }

    void patch_transfer_fault_data()
    {
        QTest::addColumn<FixtureResponse>("fault");
        QTest::newRow("404") << answer("not found\n", 404);
        QTest::newRow("500") << answer("oops", 500);
        QTest::newRow("closed mid-body") << cut_after(patch, patch.size() / 2);
        QTest::newRow("stalled mid-body") << stalled_after(patch, patch.size() / 2);
    }
    // A damaged patch is no error: the file is fetched whole at the end.
    void patch_transfer_fault()
    {
        QFETCH(FixtureResponse, fault);
        QVERIFY(QFile::link(bin_dir() + "/patcher.exe", "patcher.exe"));
        fixture.route("GET", patch_path(), fault);
        const RunLog log = update_once(timeout_for(fault));
        QCOMPARE(log.errors, QStringList());
        QCOMPARE(log.finished, QStringList {"true"});
        QList<QByteArray> paths = requested_paths();
        paths.erase(std::unique(paths.begin(), paths.end()), paths.end()); // retries
        QCOMPARE(paths, QList<QByteArray>({level_path(), patch_path(), game_path()}));
        QCOMPARE(stale_files(), QStringList());
        QCOMPARE(stray_files(), QStringList()); // the patch file is gone
        QCOMPARE(scratch_files(), QStringList());
    }

    void patch_program_fault_data()
    {
        QTest::addColumn<QByteArray>("program"); // script text, "real", or "" for none
        QTest::addColumn<QByteArray>("patch_body"); // "" for the sound patch
        QTest::newRow("missing") << QByteArray() << QByteArray();
        QTest::newRow("crashes") << QByteArray("#!/bin/sh\nkill -SEGV $$\n") << QByteArray();
        QTest::newRow("writes garbage")
            << QByteArray("#!/bin/sh\nprintf garbage > \"$2\"\n") << QByteArray();
        QByteArray wrong_base;
        QVERIFY(make_patch(noise(60000, 7), game_v2, &wrong_base).ok);
        QTest::newRow("patch for another base") << QByteArray("real") << wrong_base;
        QByteArray other_result;
        QVERIFY(make_patch(game_v1, game_v1 + "three", &other_result).ok);
        QTest::newRow("patch to another result") << QByteArray("real") << other_result;
    }
    void patch_program_fault()
    {
        QFETCH(QByteArray, program);
        QFETCH(QByteArray, patch_body);
        if (program == "real") {
            QVERIFY(QFile::link(bin_dir() + "/patcher.exe", "patcher.exe"));
        } else if (!program.isEmpty()) {
            QVERIFY(write_file("patcher.exe", program));
            QVERIFY(QFile::setPermissions("patcher.exe",
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        if (!patch_body.isEmpty())
            fixture.route("GET", patch_path(), answer(patch_body));
        const RunLog log = update_once();
        QCOMPARE(log.errors, QStringList());
        QCOMPARE(log.finished, QStringList {"true"});
        // A patch that the program ran and that gave another result is asked
        // for twice more past caches; a missing program needs no other copy.
        QList<QByteArray> expected {level_path(), patch_path(), game_path()};
        if (!program.isEmpty())
            expected = {level_path(), patch_path(), patch_path(), patch_path(), game_path()};
        QCOMPARE(requested_paths(), expected);
        QCOMPARE(read_file("game.dat"), game_v2);
        QCOMPARE(stale_files(), QStringList());
        QCOMPARE(stray_files(), QStringList());
    }

    void unwritable_target_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::newRow("folder in the new file's place") << "folder";
        QTest::newRow("read-only folder") << "read-only";
    }
    void unwritable_target()
    {
        QFETCH(QString, obstacle);
        QVERIFY(QDir().mkpath("data"));
        if (obstacle == "folder") {
            QVERIFY(QDir().mkpath(extraction_path("data/level.pak")));
        } else if (is_root()) {
            const QString why_not = mount_tmpfs(install->filePath("data"), "ro,size=64k");
            if (!why_not.isEmpty())
                QSKIP(qPrintable(why_not));
        } else {
            QVERIFY(QFile::setPermissions("data", QFile::ReadOwner | QFile::ExeOwner));
        }
        const RunLog log = update_once();
        QCOMPARE(log.errors, QStringList {"902: " + TEXT_OPEN_WRITE_FAILED.arg("level.pak")});
        QCOMPARE(log.finished, QStringList {"false"});
        QCOMPARE(requested_paths(), QList<QByteArray>()); // refused before any request
        QCOMPARE(stale_files(), QStringList({"data/level.pak", "game.dat"}));
        QCOMPARE(stray_files(), QStringList());

        QDir().rmdir(extraction_path("data/level.pak"));
        unmount();
        QFile::setPermissions("data", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        recover();
    }

    // The archive fits, the extracted file does not: the disk fills up while
    // the new file is written. The player reads that the disk is full, not
    // that the archive is damaged, and the old file is still whole.
    void disk_full()
    {
        QVERIFY(QDir().mkpath("data"));
        QVERIFY(bz2_compress(level).size() < 16 * 1024 && level.size() > 256 * 1024);
        const QString why_not = mount_tmpfs(install->filePath("data"), "size=64k");
        if (!why_not.isEmpty())
            QSKIP(qPrintable(why_not));
        QVERIFY(write_file("data/level.pak", "the old level"));
        const RunLog log = update_once();
        QCOMPARE(log.errors, QStringList {"907: " + TEXT_DISK_FULL_WRITING.arg("level.pak")});
        QCOMPARE(log.finished, QStringList {"false"});
        QCOMPARE(read_file("data/level.pak"), QByteArray("the old level"));
        QCOMPARE(stale_files(), QStringList({"data/level.pak", "game.dat"}));
        QCOMPARE(stray_files(), QStringList());

        unmount();
        recover();
    }

    // The disk fills up while the archive arrives in the scratch folder: the
    // player reads the space text, not an extraction error, the old file
    // stays and the partial archive is gone.
    void disk_full_while_the_archive_arrives()
    {
        QVERIFY(QDir().mkpath("small"));
        const QString why_not = mount_tmpfs(install->filePath("small"), "size=512k");
        if (!why_not.isEmpty())
            QSKIP(qPrintable(why_not));
        // Noise: the archive outgrows the disk before its first block ends, so
        // nothing is extracted yet when the disk is full.
        const QByteArray big = noise(1 << 20, 5);
        fixture.route("GET", "/win32/big.dat.bz2", answer(bz2_compress(big)));
        QVERIFY(QDir::setCurrent(install->filePath("small")));
        QVERIFY(write_file("big.dat", "old"));
        const QJsonObject files {
            {"big.dat", QJsonObject {{"hash", FileHasher::hash_text_of(big)}}}};
        Updater updater(base());
        updater.parse_manifest(QJsonDocument(QJsonObject {{"files", files}}).toJson(), base(),
                               true);
        const RunLog log = run_update(updater);
        QStringList left = QDir().entryList(QDir::Files | QDir::Hidden | QDir::System);
        left.removeAll(VerifyCache::file_name());
        const QStringList scratch = scratch_files();
        const QByteArray kept = read_file("big.dat");
        QVERIFY(QDir::setCurrent(install->path()));
        QCOMPARE(log.errors, QStringList {"907: " + TEXT_DISK_FULL_WRITING.arg("big.dat")});
        QCOMPARE(log.finished, QStringList {"false"});
        QCOMPARE(kept, QByteArray("old"));
        QCOMPARE(left, QStringList {"big.dat"});
        QCOMPARE(scratch, QStringList());
    }

    // The disk fills up while the patch program writes its result: the
    // player reads that the disk is full, and the old file is whole.
    void patch_result_disk_full()
    {
        QVERIFY(QDir().mkpath("small"));
        // Room for the old file, the patch, the verification cache and a
        // few pages more, not for the result beside the old file.
        const auto pages = [](qint64 bytes) { return int((bytes + 4095) / 4096); };
        const int size_k = 4 * (pages(game_v1.size()) + pages(patch.size()) + 4);
        QVERIFY(pages(game_v2.size()) > 4);
        const QString why_not =
            mount_tmpfs(install->filePath("small"), QString("size=%1k").arg(size_k));
        if (!why_not.isEmpty())
            QSKIP(qPrintable(why_not));
        QVERIFY(QDir::setCurrent(install->filePath("small")));
        QVERIFY(QFile::link(bin_dir() + "/patcher.exe", "patcher.exe"));
        QVERIFY(write_file("game.dat", game_v1));
        const QJsonObject files {{"game.dat",
                                  QJsonObject {{"hash", FileHasher::hash_text_of(game_v2)},
                                               {"patches", QJsonArray {patch_name}}}}};
        Updater updater(base());
        updater.parse_manifest(QJsonDocument(QJsonObject {{"files", files}}).toJson(), base(),
                               true);
        const RunLog log = run_update(updater);
        const QByteArray kept = read_file("game.dat");
        QStringList left = QDir().entryList(QDir::Files | QDir::Hidden);
        left.removeAll(VerifyCache::file_name());
        QVERIFY(QDir::setCurrent(install->path()));
        QCOMPARE(log.errors, QStringList {"907: " + TEXT_DISK_FULL_WRITING.arg("game.dat")});
        QCOMPARE(log.finished, QStringList {"false"});
        QVERIFY(kept == game_v1);
        QCOMPARE(left, QStringList({"game.dat", "patcher.exe"}));
    }

    // A small patch whose result would be far larger than the file: the
    // patch program is held to a bound near the file's size, so it stops at
    // once instead of filling the disk, and the file is fetched whole.
    void patch_claiming_more_than_the_file_is_refused()
    {
        QVERIFY(QDir().mkpath("small"));
        QByteArray claiming;
        QVERIFY(make_patch(game_v1, game_v1 + QByteArray(16 << 20, '\0'), &claiming).ok);
        // Room for the old and new file, the archive and the patch, a few
        // results of the file's size, not for the claimed one.
        const QString why_not = mount_tmpfs(install->filePath("small"), "size=4m");
        if (!why_not.isEmpty())
            QSKIP(qPrintable(why_not));
        QVERIFY(QDir::setCurrent(install->filePath("small")));
        QVERIFY(QFile::link(bin_dir() + "/patcher.exe", "patcher.exe"));
        QVERIFY(write_file("game.dat", game_v1));
        fixture.route("GET", patch_path(), answer(claiming));
        fixture.route("GET", game_path(), answer(bz2_compress(game_v2)));
        const QJsonObject files {{"game.dat",
                                  QJsonObject {{"hash", FileHasher::hash_text_of(game_v2)},
                                               {"patches", QJsonArray {patch_name}}}}};
        Updater updater(base());
        updater.set_retry_delays({20});
        updater.parse_manifest(QJsonDocument(QJsonObject {{"files", files}}).toJson(), base(),
                               true);
        const RunLog log = run_update(updater);
        const QByteArray installed = read_file("game.dat");
        QVERIFY(QDir::setCurrent(install->path()));
        QCOMPARE(log.errors, QStringList());
        QCOMPARE(log.finished, QStringList {"true"});
        QVERIFY(installed == game_v2);
        QCOMPARE(requested_paths().count(game_path()), 1);
    }

    // A disk with room for the update one step at a time, not for the steps
    // that could overlap: the run holds them back, also when the server
    // names no length, so the archives' sizes stay the planned ones.
    void tight_disk_runs_one_step_at_a_time()
    {
        QVERIFY(QDir().mkpath("tight"));
        const int size = 3 << 19; // 1.5 MiB: archives go to disk
        // The old files, then room for one new file beside its old one and
        // one archive, with some slack; not for two steps at once.
        const QString why_not = mount_tmpfs(install->filePath("tight"), "size=8100k");
        if (!why_not.isEmpty())
            QSKIP(qPrintable(why_not));
        QVERIFY(QDir::setCurrent(install->filePath("tight")));
        QJsonObject files;
        QList<QByteArray> contents;
        for (int i = 0; i < 3; ++i)
            contents << noise(size, 40 + i);
        // Each request after the first finds the file before it installed:
        // the next step waited for the disk the earlier one held.
        auto early = std::make_shared<std::atomic<int>>(0);
        const QString folder = QDir::currentPath();
        for (int i = 0; i < 3; ++i) {
            const QString name = QString("part%1.dat").arg(i);
            QVERIFY(write_file(name, noise(size, 50 + i)));
            FixtureResponse response = answer(bz2_compress(contents[i]));
            response.chunked = true;
            const QString before = folder + QString("/part%1.dat").arg(i - 1);
            const QByteArray installed_before = i > 0 ? contents[i - 1] : QByteArray();
            fixture.route("GET", ("/win32/" + name + ".bz2").toUtf8(),
                          [=](const RecordedRequest &) {
                              if (i > 0 && read_file(before) != installed_before)
                                  ++*early;
                              return response;
                          });
            files.insert(name, QJsonObject {{"hash", FileHasher::hash_text_of(contents[i])},
                                            {"size", size}});
        }
        Updater updater(base());
        updater.parse_manifest(QJsonDocument(QJsonObject {{"files", files}}).toJson(), base(),
                               true);
        const RunLog log = run_update(updater);
        QList<QByteArray> installed;
        for (int i = 0; i < 3; ++i)
            installed << read_file(QString("part%1.dat").arg(i));
        QVERIFY(QDir::setCurrent(install->path()));
        QCOMPARE(log.errors, QStringList());
        QCOMPARE(log.finished, QStringList {"true"});
        QVERIFY(installed == contents);
        QCOMPARE(early->load(), 0);
    }

    void killed_mid_update_then_restarted_data()
    {
        QTest::addColumn<bool>("in_patch"); // killed while the patch arrives
        QTest::addColumn<QByteArray>("etag"); // of the answer cut by the kill
        QTest::newRow("during a whole-file transfer") << false << QByteArray();
        // The answer's validator is noted with the partial archive at once,
        // not only when the attempt ends.
        QTest::newRow("during the first attempt, with an ETag") << false << QByteArray("\"v2\"");
        QTest::newRow("during a patch transfer") << true << QByteArray();
    }
    // The driver is killed once part of the body has reached the disk; the
    // restarted driver verifies again and completes the update.
    void killed_mid_update_then_restarted()
    {
        QFETCH(bool, in_patch);
        QFETCH(QByteArray, etag);
        // What the kill leaves behind.
        const QString partial = in_patch ? scratch_here().patch_path(patch_name)
                                         : scratch_here().partial_archive_path("game.dat");
        const QByteArray body = in_patch ? patch : bz2_compress(game_v2);
        FixtureResponse first = stalled_after(body, body.size() / 2);
        if (!etag.isEmpty())
            first.headers.append({"ETag", etag});
        fixture.route("GET", in_patch ? patch_path() : game_path(), first);
        if (!in_patch)
            QVERIFY(QFile::remove("game.dat")); // fetched whole
        const QString driver_path = bin_dir() + "/update_driver";
        const QStringList arguments {base().toString(), aux.filePath("ca.pem")};

        QProcess driver;
        driver.setWorkingDirectory(install->path());
        driver.start(driver_path, arguments);
        QVERIFY(driver.waitForStarted());
        // Killed once the partial file (and a partial archive's note) is on
        // disk and data/level.pak is in place: on a busy machine the
        // extraction of the file before it may still be finishing.
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() > 0 &&
                                     (in_patch || scratch_here().has_note("game.dat")) &&
                                     !stale_files().contains("data/level.pak"),
                                 RUN_LIMIT_MS);
        driver.kill();
        QVERIFY(driver.waitForFinished());
        QCOMPARE(driver.exitStatus(), QProcess::CrashExit);
        QCOMPARE(stale_files(), QStringList {"game.dat"}); // data/level.pak was done before
        // At most the unfinished new file beside the target, which the next
        // run clears away.
        QVERIFY(stray_files().isEmpty() ||
                stray_files() == QStringList {extraction_path("game.dat")});
        QVERIFY(scratch_files().contains(QFileInfo(partial).fileName()));

        const qint64 kept = QFileInfo(partial).size();
        serve_release();
        fixture.route("GET", game_path(), ranged_response(bz2_compress(game_v2), "\"v2\""));
        QProcess again;
        again.setWorkingDirectory(install->path());
        again.start(driver_path, arguments);
        QVERIFY(again.waitForFinished(RUN_LIMIT_MS));
        QCOMPARE(again.readAllStandardOutput(), QByteArray("finished\n"));
        QCOMPARE(again.exitCode(), 0);
        QCOMPARE(stale_files(), QStringList());
        QCOMPARE(stray_files(), QStringList());
        QCOMPARE(scratch_files(), QStringList());
        if (!in_patch) { // the second run asked for the rest only, of the same file
            QCOMPARE(range_start(fixture.requests().last()), kept);
            QCOMPARE(fixture.requests().last().header("If-Range"), etag);
        }
    }

    void killed_at_any_point_leaves_old_or_new_data()
    {
        QTest::addColumn<bool>("in_patch");
        QTest::newRow("whole file: transfer and extraction") << false;
        QTest::newRow("patch: transfer and patch program") << true;
    }
    // The update is killed again and again at growing delays, in the
    // transfer, the extraction or the patch program; each time the game file
    // is whole, old or new, and a last run completes with nothing left over.
    void killed_at_any_point_leaves_old_or_new()
    {
        QFETCH(bool, in_patch);
        const QByteArray big_v1 = noise(3 << 20, 11);
        QByteArray big_v2 = big_v1;
        big_v2.replace(1 << 20, 4096, noise(4096, 12));
        QByteArray big_patch;
        QVERIFY(make_patch(big_v1, big_v2, &big_patch).ok);
        const QString big_patch_name = PatchName::compose(
            "game.dat", FileHasher::hash_text_of(big_v1), FileHasher::hash_text_of(big_v2));
        QJsonObject entry {{"hash", FileHasher::hash_text_of(big_v2)}};
        if (in_patch)
            entry.insert("patches", QJsonArray {big_patch_name});
        fixture.route(
            "GET", "/win32/patcher.json",
            answer(QJsonDocument(QJsonObject {{"files", QJsonObject {{"game.dat", entry}}}})
                       .toJson()));
        FixtureResponse slow = answer(in_patch ? big_patch : bz2_compress(big_v2));
        slow.trickle_chunk = 32 * 1024;
        slow.trickle_interval_ms = 15;
        fixture.route("GET",
                      in_patch ? "/win32/patches/" + big_patch_name.toUtf8() + ".bz2" : game_path(),
                      slow);
        if (in_patch)
            fixture.route("GET", game_path(), answer(bz2_compress(big_v2)));
        QVERIFY(write_file("game.dat", big_v1));
        const QStringList arguments {base().toString(), aux.filePath("ca.pem")};
        const QSet<QString> whole {FileHasher::hash_text_of(big_v1),
                                   FileHasher::hash_text_of(big_v2)};
        for (int delay_ms = 150; delay_ms <= 2400; delay_ms += 250) {
            QProcess driver;
            driver.start(bin_dir() + "/update_driver", arguments);
            QVERIFY(driver.waitForStarted());
            if (driver.waitForFinished(delay_ms))
                break; // done before the kill
            driver.kill();
            QVERIFY(driver.waitForFinished());
            QTest::qWait(200); // a patch program started by the driver ends on its own
            QVERIFY2(whole.contains(FileHasher::hash_text("game.dat")), "game.dat is torn");
        }
        QProcess last;
        last.start(bin_dir() + "/update_driver", arguments);
        QVERIFY(last.waitForFinished(RUN_LIMIT_MS));
        QCOMPARE(last.readAllStandardOutput(), QByteArray("finished\n"));
        QVERIFY(read_file("game.dat") == big_v2);
        QCOMPARE(scratch_files(), QStringList());
        QStringList left = QDir().entryList(QDir::Files | QDir::Hidden);
        left.erase(
            std::remove_if(left.begin(), left.end(),
                           [](const QString &name) { return name.startsWith(".saltmarch"); }),
            left.end());
        QCOMPARE(left, QStringList {"game.dat"}); // no patch, no half-made file
    }

    void disk_space_counts_what_the_update_needs_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("old_kib");
        QTest::addColumn<int>("new_kib");
        QTest::addColumn<bool>("fits");
        QTest::addColumn<bool>("text"); // files whose archives are small, else noise
        QTest::addColumn<int>("disk_mib");
        // 2.4 MiB of files on a 4 MiB disk each grow a little: their new
        // sizes add up to more than the free space, what the update needs
        // (the growth, and archive and new file of the steps under way) not.
        QTest::newRow("slightly larger files that fit") << 20 << 120 << 125 << true << false << 4;
        // 5.7 MiB of files leave about 3.3 MiB: one step at a time (the
        // growth, an archive on disk and a new file: 3.1 MiB) fits, two at
        // once (6 MiB) do not, so the run holds fewer under way. Noise archives
        // are as large as their files; text archives shrink the steps once
        // their Content-Length is known.
        QTest::newRow("noise that fits one step at a time")
            << 4 << 1450 << 1500 << true << false << 9;
        QTest::newRow("text that fits one step at a time")
            << 4 << 1450 << 1500 << true << true << 9;
        // The archive, the new file and the old one side by side do not fit.
        QTest::newRow("slightly larger file that does not fit")
            << 1 << 1500 << 1600 << false << false << 4;
    }
    // Before the first transfer the plan's sizes are set against the free
    // space of the game folder's file system.
    void disk_space_counts_what_the_update_needs()
    {
        QFETCH(int, count);
        QFETCH(int, old_kib);
        QFETCH(int, new_kib);
        QFETCH(bool, fits);
        QFETCH(bool, text);
        QFETCH(int, disk_mib);
        const auto content = [text](int kib, int seed) {
            QByteArray lines;
            while (lines.size() < kib * 1024)
                lines += "row " + QByteArray::number(lines.size() + seed) + " of the table\n";
            return text ? lines.left(kib * 1024) : noise(kib * 1024, seed);
        };
        QVERIFY(QDir().mkpath("small"));
        const QString why_not =
            mount_tmpfs(install->filePath("small"), QString("size=%1m").arg(disk_mib));
        if (!why_not.isEmpty())
            QSKIP(qPrintable(why_not));
        QVERIFY(QDir::setCurrent(install->filePath("small")));
        QJsonObject files;
        QList<QByteArray> olds, news;
        for (int i = 0; i < count; ++i) {
            const QString name = QString("f%1.dat").arg(i);
            olds << content(old_kib, 100 + i);
            news << content(new_kib, 200 + i);
            QVERIFY(write_file(name, olds.last()));
            files.insert(name,
                         QJsonObject {{"hash", FileHasher::hash_text_of(news.last())},
                                      {"size", news.last().size()}});
            fixture.route("GET", "/win32/" + name.toUtf8() + ".bz2",
                          answer(bz2_compress(news.last())));
        }
        Updater updater(base());
        updater.parse_manifest(QJsonDocument(QJsonObject {{"files", files}}).toJson(), base(),
                               true);
        const RunLog log = run_update(updater);
        QStringList wrong;
        for (int i = 0; i < count; ++i) {
            if (read_file(QString("f%1.dat").arg(i)) != (fits ? news[i] : olds[i]))
                wrong << QString::number(i);
        }
        QVERIFY(QDir::setCurrent(install->path()));
        QCOMPARE(wrong, QStringList());
        QCOMPARE(log.finished, QStringList {fits ? "true" : "false"});
        if (fits) {
            QCOMPARE(log.errors, QStringList());
        } else {
            QCOMPARE(log.errors.size(), 1);
            QVERIFY2(
                log.errors[0].startsWith("907: " + TEXT_NO_DISK_SPACE.section(':', 0, 0) + ':'),
                qPrintable(log.errors[0]));
            QCOMPARE(requested_paths(), QList<QByteArray>());
        }
    }

    void folder_links_data()
    {
        QTest::addColumn<bool>("foreign");
        QTest::addColumn<bool>("late"); // planted after the verification
        QTest::newRow("the player's own link is followed") << false << false;
        QTest::newRow("another user's link is refused") << true << false;
        QTest::newRow("another user's link planted after the verification") << true << true;
    }
    // The player moved data/ elsewhere and left a link in its place; or
    // another user put a link there. Nothing behind another's link changes.
    void folder_links()
    {
        QFETCH(bool, foreign);
        QFETCH(bool, late);
        if (foreign && !is_root())
            QSKIP("needs root to give the link another owner");
        QTemporaryDir elsewhere;
        QVERIFY(write_file(elsewhere.filePath("level.pak"), "the old level"));
        auto plant = [&] {
            QVERIFY(QFile::link(elsewhere.path(), "data"));
            if (foreign)
                QCOMPARE(::lchown("data", 65534, 65534), 0);
        };
        if (!late)
            plant();
        Updater updater(base());
        updater.set_retry_delays({10, 10, 10});
        updater.parse_manifest(manifest(), base(), true);
        if (late) {
            QVERIFY(QDir("data").removeRecursively());
            plant();
        }
        const RunLog log = run_update(updater);
        QCOMPARE(
            QDir(elsewhere.path())
                .entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot),
            QStringList {"level.pak"});
        // A link found only by the write ends the run at that file.
        QCOMPARE(read_file("game.dat"), late ? game_v1 : game_v2);
        if (foreign) {
            QCOMPARE(log.errors,
                     QStringList {"908: " + TEXT_FILES_REFUSED.arg("data/level.pak", "1")});
            QCOMPARE(log.finished, QStringList {"false"});
            QCOMPARE(read_file(elsewhere.filePath("level.pak")), QByteArray("the old level"));
        } else {
            QCOMPARE(log.errors, QStringList());
            QCOMPARE(log.finished, QStringList {"true"});
            QCOMPARE(read_file(elsewhere.filePath("level.pak")), level);
            QVERIFY(QFileInfo("data").isSymLink());
        }
    }

    void file_links_data()
    {
        QTest::addColumn<QString>("owner"); // of the link: "player", "other", or "player via other"
        QTest::addColumn<bool>("current"); // the file it leads to is the release's
        QTest::newRow("the player's own link, current") << "player" << true;
        QTest::newRow("the player's own link, stale") << "player" << false;
        QTest::newRow("another user's link") << "other" << false;
        QTest::newRow("the player's own link through another user's")
            << "player via other" << true;
    }
    // The player keeps a large file on another disk behind a link of their
    // own: it is verified through the link and, when stale, the link gives
    // way to the new file while what it leads to stays as it was. A link of
    // another user, in the file's place or on the way to its target, is
    // refused and nothing behind it changes.
    void file_links()
    {
        QFETCH(QString, owner);
        QFETCH(bool, current);
        if (owner.contains("other") && !is_root())
            QSKIP("needs root to give the link another owner");
        QTemporaryDir elsewhere;
        const QByteArray kept = current ? level : QByteArray("the old level");
        QVERIFY(QDir(elsewhere.path()).mkpath("disk") &&
                write_file(elsewhere.filePath("disk/level.pak"), kept));
        QString target = elsewhere.filePath("disk/level.pak");
        if (owner == "player via other") {
            QVERIFY(QFile::link(elsewhere.filePath("disk"), elsewhere.filePath("hop")));
            QCOMPARE(::lchown(QFile::encodeName(elsewhere.filePath("hop")).constData(), 65534,
                              65534),
                     0);
            target = elsewhere.filePath("hop/level.pak");
        }
        QVERIFY(QDir().mkpath("data") && QFile::link(target, "data/level.pak"));
        if (owner == "other")
            QCOMPARE(::lchown("data/level.pak", 65534, 65534), 0);

        Updater updater(base());
        updater.set_retry_delays({10, 10, 10});
        updater.parse_manifest(manifest(), base(), true);
        const RunLog log = run_update(updater);
        QCOMPARE(read_file(elsewhere.filePath("disk/level.pak")), kept);
        QCOMPARE(read_file("game.dat"), game_v2);
        if (owner != "player") {
            QCOMPARE(log.errors,
                     QStringList {"908: " + TEXT_FILES_REFUSED.arg("data/level.pak", "1")});
            QVERIFY(QFileInfo("data/level.pak").isSymLink());
            QVERIFY(!requested_paths().contains(level_path()));
            return;
        }
        QCOMPARE(log.errors, QStringList());
        QCOMPARE(log.finished, QStringList {"true"});
        QCOMPARE(requested_paths().contains(level_path()), !current);
        QCOMPARE(QFileInfo("data/level.pak").isSymLink(), current);
        QCOMPARE(read_file("data/level.pak"), level);
    }

    // A patch that cannot be saved in the scratch folder (something the
    // launcher cannot remove stands at its name) gives way to the whole file.
    void unwritable_patch_file_falls_back_to_whole_file()
    {
        QVERIFY(QFile::link(bin_dir() + "/patcher.exe", "patcher.exe"));
        QVERIFY(QDir().mkpath(scratch_here().patch_path(patch_name)));
        const QString why_not =
            mount_tmpfs(install->filePath(scratch_here().patch_path(patch_name)), "size=4k");
        if (!why_not.isEmpty())
            QSKIP(qPrintable(why_not));
        const RunLog log = update_once();
        QCOMPARE(log.errors, QStringList());
        QCOMPARE(log.finished, QStringList {"true"});
        // The patch file could not be created, so the patch was never asked for.
        QCOMPARE(requested_paths(), QList<QByteArray>({level_path(), game_path()}));
        QCOMPARE(read_file("game.dat"), game_v2);
        QCOMPARE(stale_files(), QStringList());
    }

    // Listed files that may not be written are named when the update ends,
    // after every other file has been brought up to date.
    void refused_files_are_reported()
    {
        QJsonObject files = manifest_files();
        files.insert("../outside.dat", QJsonObject {{"hash", "1234567"}});
        files.insert("sub//doubled.dat", QJsonObject {{"hash", "1234567"}});
        files.insert("../%1.dat", QJsonObject {{"hash", "1234567"}}); // first in key order
        Updater updater(base());
        updater.parse_manifest(QJsonDocument(QJsonObject {{"files", files}}).toJson(), base(),
                               true);
        const RunLog log = run_update(updater);
        // The name is taken as it is, "%1" and all.
        QCOMPARE(log.errors,
                 QStringList {"908: " + TEXT_FILES_REFUSED.section("%1", 0, 0) + "../%1.dat" +
                              TEXT_FILES_REFUSED.section("%1", 1, 1).replace("%2", "3")});
        QCOMPARE(log.finished, QStringList {"false"});
        QCOMPARE(stale_files(), QStringList());
    }

    void manifest_fault_data()
    {
        QTest::addColumn<FixtureResponse>("fault");
        QTest::newRow("404") << answer("not found\n", 404);
        QTest::newRow("500") << answer(manifest(), 500);
        QTest::newRow("closed mid-body") << cut_after(manifest(), manifest().size() / 2);
        QTest::newRow("stalled mid-body") << stalled_after(manifest(), manifest().size() / 2);
        QTest::newRow("not JSON") << answer("<html>maintenance</html>");
    }
    // No manifest means no plan: the files stay as they are and nothing is
    // created, rather than a half document being taken as a smaller one.
    void manifest_fault()
    {
        QFETCH(FixtureResponse, fault);
        fixture.route("GET", "/win32/patcher.json", fault);
        Updater updater(base());
        updater.set_network_timeout(timeout_for(fault));
        updater.set_retry_delays({20});
        QtConcurrent::run(&updater, &Updater::read_manifest, true, MANIFEST_NAME).waitForFinished();
        QVERIFY(updater.get_file_queue().isEmpty());
        QCOMPARE(updater.get_server_version(), QString());
        QCOMPARE(updater.get_exec_name(), GAME_EXECUTABLE);
        QVERIFY(!QFileInfo::exists("data"));
        QCOMPARE(read_file("game.dat"), game_v1);
    }

    void login_status_near_int_limit_does_not_overflow_data()
    {
        QTest::addColumn<QByteArray>("status");
        QTest::addColumn<int>("code");
        QTest::newRow("largest int") << QByteArray("2147483647") << 500;
        QTest::newRow("first that overflows") << QByteArray("2147483148") << 500;
        QTest::newRow("largest that fits") << QByteArray("2147483147") << 2147483647;
        QTest::newRow("smallest int") << QByteArray("-2147483648") << -2147483148;
    }
    void login_status_near_int_limit_does_not_overflow()
    {
        QFETCH(QByteArray, status);
        QFETCH(int, code);
        LoginClient client(QUrl("https://127.0.0.1:1/login/"));
        const LoginResult result = client.parse_response("{\"status\":" + status + "}");
        QCOMPARE(result.code, code);
        QVERIFY(!result.success);
    }
};

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
