#include "app/constants.h"
#include "login/login_client.h"
#include "updater/file_hasher.h"
#include "updater/patch_name.h"
#include "updater/updater.h"
#include "updater/verify_cache.h"

#include "bz2_util.h"
#include "https_fixture.h"
#include "patch_format.h"
#include "test_paths.h"

#include <QDirIterator>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

#include <unistd.h>

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

void write_file(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly), qPrintable(path));
    QCOMPARE(file.write(content), qint64(content.size()));
}

QByteArray read_file(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
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
                name != VerifyCache::file_name())
                stray << name;
        }
        stray.sort();
        return stray;
    }

    RunLog update_once(int timeout_ms = NETWORK_INACTIVITY_TIMEOUT_MS)
    {
        Updater updater(base());
        updater.set_network_timeout(timeout_ms);
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
        write_file(aux.filePath("ca.pem"), fixture.ca_pem());
    }

    void init()
    {
        install = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir::setCurrent(install->path()));
        serve_release();
        write_file("game.dat", game_v1);
        fixture.clear_requests();
    }

    void cleanup()
    {
        unmount();
        QFile::setPermissions(install->filePath("data"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QDir::setCurrent(QDir::tempPath());
        install.reset();
    }

    void whole_file_transfer_fault_data()
    {
        const QByteArray archive = bz2_compress(level);
        QTest::addColumn<FixtureResponse>("fault");
        QTest::addColumn<int>("code");
        QTest::newRow("closed mid-body") << cut_after(archive, archive.size() / 2) << -7;
        QTest::newRow("stalled mid-body") << stalled_after(archive, archive.size() / 2) << -7;
        QTest::newRow("404") << answer("not found\n", 404) << -5;
        QTest::newRow("500") << answer("<html>Internal Server Error</html>", 500) << -5;
        QTest::newRow("empty body") << answer("") << -7;
    }
    void whole_file_transfer_fault()
    {
        QFETCH(FixtureResponse, fault);
        QFETCH(int, code);
        fixture.route("GET", level_path(), fault);
        const RunLog log = update_once(timeout_for(fault));
        QCOMPARE(
            log.errors,
            QStringList {QString::number(code) + ": " + TEXT_EXTRACT_FAILED.arg("level.pak.bz2")});
        QCOMPARE(log.finished, QStringList {"false"});
        QCOMPARE(requested_paths(), QList<QByteArray> {level_path()}); // the run stopped there
        QCOMPARE(stale_files(), QStringList({"data/level.pak", "game.dat"}));
        QCOMPARE(read_file("game.dat"), game_v1);
        QCOMPARE(stray_files(), QStringList()); // no archive left
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
        QCOMPARE(requested_paths(), QList<QByteArray>({level_path(), patch_path(), game_path()}));
        QCOMPARE(stale_files(), QStringList());
        QCOMPARE(stray_files(), QStringList()); // the patch file is gone
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
            write_file("patcher.exe", program);
            QVERIFY(QFile::setPermissions("patcher.exe",
                                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        }
        if (!patch_body.isEmpty())
            fixture.route("GET", patch_path(), answer(patch_body));
        const RunLog log = update_once();
        QCOMPARE(log.errors, QStringList());
        QCOMPARE(log.finished, QStringList {"true"});
        QCOMPARE(requested_paths(), QList<QByteArray>({level_path(), patch_path(), game_path()}));
        QCOMPARE(read_file("game.dat"), game_v2);
        QCOMPARE(stale_files(), QStringList());
        QCOMPARE(stray_files(), QStringList());
    }

    void unwritable_target_data()
    {
        QTest::addColumn<QString>("obstacle");
        QTest::newRow("folder in the archive's place") << "folder";
        QTest::newRow("read-only folder") << "read-only";
    }
    void unwritable_target()
    {
        QFETCH(QString, obstacle);
        QVERIFY(QDir().mkpath("data"));
        if (obstacle == "folder") {
            QVERIFY(QDir().mkpath("data/level.pak.bz2"));
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

        QDir().rmdir("data/level.pak.bz2");
        unmount();
        QFile::setPermissions("data", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        recover();
    }

    void disk_full()
    {
        QVERIFY(QDir().mkpath("data"));
        // The archive fits, the extracted file does not.
        QVERIFY(bz2_compress(level).size() < 16 * 1024 && level.size() > 256 * 1024);
        const QString why_not = mount_tmpfs(install->filePath("data"), "size=64k");
        if (!why_not.isEmpty())
            QSKIP(qPrintable(why_not));
        const RunLog log = update_once();
        QCOMPARE(log.errors, QStringList {"904: " + TEXT_EXTRACT_FAILED.arg("level.pak.bz2")});
        QCOMPARE(log.finished, QStringList {"false"});
        QCOMPARE(stale_files(), QStringList({"data/level.pak", "game.dat"}));
        QCOMPARE(stray_files(), QStringList());

        unmount();
        recover();
    }

    void killed_mid_update_then_restarted_data()
    {
        QTest::addColumn<bool>("in_patch"); // killed while the patch arrives
        QTest::addColumn<QString>("partial"); // what the kill leaves behind
        QTest::newRow("during a whole-file transfer") << false << "game.dat.bz2";
        QTest::newRow("during a patch transfer") << true << patch_name;
    }
    // The driver is killed once part of the body has reached the disk; the
    // restarted driver verifies again and completes the update.
    void killed_mid_update_then_restarted()
    {
        QFETCH(bool, in_patch);
        QFETCH(QString, partial);
        const QByteArray body = in_patch ? patch : bz2_compress(game_v2);
        fixture.route("GET", in_patch ? patch_path() : game_path(),
                      stalled_after(body, body.size() / 2));
        if (!in_patch)
            QVERIFY(QFile::remove("game.dat")); // fetched whole
        const QString driver_path = bin_dir() + "/update_driver";
        const QStringList arguments {base().toString(), aux.filePath("ca.pem")};

        QProcess driver;
        driver.setWorkingDirectory(install->path());
        driver.start(driver_path, arguments);
        QVERIFY(driver.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(partial).size() > 0, RUN_LIMIT_MS);
        driver.kill();
        QVERIFY(driver.waitForFinished());
        QCOMPARE(driver.exitStatus(), QProcess::CrashExit);
        QCOMPARE(stale_files(), QStringList {"game.dat"}); // data/level.pak was done before
        QCOMPARE(stray_files(), QStringList {partial});

        serve_release();
        QProcess again;
        again.setWorkingDirectory(install->path());
        again.start(driver_path, arguments);
        QVERIFY(again.waitForFinished(RUN_LIMIT_MS));
        QCOMPARE(again.readAllStandardOutput(), QByteArray("finished\n"));
        QCOMPARE(again.exitCode(), 0);
        QCOMPARE(stale_files(), QStringList());
        QCOMPARE(stray_files(), QStringList());
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
