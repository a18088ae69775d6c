#include "app/constants.h"
#include "updater/manifest_reader.h"
#include "updater/update_run.h"
#include "updater/updater.h"

#include "https_fixture.h"
#include "scratch_here.h"

#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentRun>
#include <QtTest>

namespace {

const QByteArray MANIFEST = R"({"server-version": "7.2", "launcher-version": "1.4.0",
    "exec": "game.exe", "files": {"stale.dat": {"hash": "1234567", "path": "made/here"},
    "../outside.dat": {"hash": "1234567"}}})";

FixtureResponse json_response(const QByteArray &body, int delay_ms = 0)
{
    FixtureResponse response;
    response.body = body;
    response.delay_before_headers_ms = delay_ms;
    return response;
}

} // namespace

class TestUpdater : public QObject
{
    Q_OBJECT

private:
    HttpsFixture fixture;
    QTemporaryDir work;
    QStringList signals_seen; // written by the tasks, read after they finished

    QString base(const char *folder = "win32") const
    {
        return fixture.base_url() + "/" + folder + "/";
    }
    void watch(Updater &updater)
    {
        signals_seen.clear();
        connect(&updater, &Updater::manifest_read, [this] { signals_seen << "manifest_read"; });
        connect(&updater, &Updater::got_manifest, [this] { signals_seen << "got_manifest"; });
    }
    // As the window does: on the global pool, then wait for the future.
    static void read(Updater &updater, bool check_files)
    {
        QtConcurrent::run(&updater, &Updater::read_manifest, check_files, MANIFEST_NAME)
            .waitForFinished();
    }

private slots:
    void initTestCase()
    {
        QVERIFY(QDir::setCurrent(work.path()) && fixture.start());
        fixture.route("GET", "/win32/patcher.json", json_response(MANIFEST));
    }

    void failed_fetch_resets_and_still_emits_got_manifest_data()
    {
        QTest::addColumn<QString>("base_url");
        QTest::addColumn<int>("delay_ms");
        QTest::newRow("not found") << "/missing/" << 0;
        QTest::newRow("silent server times out") << "/silent/" << 60000;
        QTest::newRow("connection refused") << "https://127.0.0.1:1/" << 0;
    }
    void failed_fetch_resets_and_still_emits_got_manifest()
    {
        QFETCH(QString, base_url);
        QFETCH(int, delay_ms);
        fixture.route("GET", "/silent/patcher.json", json_response(MANIFEST, delay_ms));

        Updater updater {QUrl(base())};
        read(updater, true);
        QCOMPARE(updater.get_file_queue().size(), 1);

        Updater failing(base_url.startsWith("/") ? QUrl(fixture.base_url() + base_url) : base_url);
        failing.set_network_timeout(300);
        watch(failing);
        read(failing, true);
        QCOMPARE(signals_seen, QStringList({"manifest_read", "got_manifest"}));
        QCOMPARE(failing.get_server_version(), QString());
        QCOMPARE(failing.get_launcher_version(), QString());
        QCOMPARE(failing.get_exec_name(), QString("orvex.exe"));
        QVERIFY(failing.get_file_queue().isEmpty());
    }

    void later_read_without_checks_discards_plan()
    {
        Updater updater {QUrl(base())};
        read(updater, true);
        QCOMPARE(updater.get_file_queue().size(), 1);
        QVERIFY(QDir("made/here").exists());
        QVERIFY(QDir("made").removeRecursively());
        QCOMPARE(updater.get_refused_files(), QStringList {"../outside.dat"});

        read(updater, false);
        QVERIFY(updater.get_file_queue().isEmpty());
        QVERIFY(updater.get_refused_files().isEmpty());
        QVERIFY(!QDir("made").exists()); // no file examined, no directory made
        QCOMPARE(updater.get_server_version(), QString("7.2"));
        QCOMPARE(updater.get_launcher_version(), QString("1.4.0"));
        QCOMPARE(updater.get_exec_name(), QString("game.exe"));
    }

    void play_flow_signal_order_and_extra_manifest()
    {
        fixture.route("GET", "/win64/patcher.json",
                      json_response(R"({"server-version": "9", "exec": "game64.exe",
                          "files": {"extra.dat": {"hash": "7654321"}}})"));
        fixture.clear_requests();
        Updater updater {QUrl(base())};
        watch(updater);
        read(updater, true);
        QtConcurrent::run(&updater, &Updater::read_extra_manifest, QUrl(base("win64")),
                          MANIFEST_NAME, QString("win64"))
            .waitForFinished();
        QCOMPARE(signals_seen, QStringList({"manifest_read", "got_manifest", "manifest_read"}));
        QCOMPARE(updater.get_server_version(), QString("7.2"));
        QCOMPARE(updater.get_exec_name(), QString("game64.exe"));
        QCOMPARE(updater.get_file_queue().size(), 2);
        QCOMPARE(updater.get_file_queue()[1].base_url, QUrl(base("win64")));

        const QList<RecordedRequest> requests = fixture.requests();
        QCOMPARE(requests.size(), 2);
        QCOMPARE(requests[0].path, QByteArray("/win32/patcher.json"));
        QCOMPARE(requests[1].path, QByteArray("/win64/patcher.json"));
        QCOMPARE(requests[1].header("User-Agent"), USER_AGENT.toUtf8());

        // A second server that fails adds its manifest_read() and nothing else.
        QtConcurrent::run(&updater, &Updater::read_extra_manifest, QUrl(base("nowhere")),
                          MANIFEST_NAME, QString("nowhere"))
            .waitForFinished();
        QCOMPARE(signals_seen.size(), 4);
        QCOMPARE(updater.get_exec_name(), QString("game64.exe"));
        QCOMPARE(updater.get_file_queue().size(), 2);
    }

    // What a document gives is kept apart from what it leaves out: a
    // missing or unreadable part never reads as an empty one.
    void manifest_documents_read_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<QString>("versions"); // server/launcher, "-" where not given
        QTest::addColumn<int>("files"); // -1: no "files" object
        QTest::newRow("not json") << QByteArray("{\"server-version\"") << "-/-" << -1;
        QTest::newRow("array") << QByteArray("[1, 2]") << "-/-" << -1;
        QTest::newRow("versions only")
            << QByteArray(R"({"server-version": "7", "launcher-version": ""})") << "7/" << -1;
        QTest::newRow("files not an object")
            << QByteArray(R"({"launcher-version": 3, "files": [1]})") << "-/" << 0;
        QTest::newRow("files") << MANIFEST << "7.2/1.4.0" << 2;
    }
    void manifest_documents_read()
    {
        QFETCH(QByteArray, document);
        QFETCH(QString, versions);
        QFETCH(int, files);
        const Manifest read = ManifestReader(game_here()).parse(document, QUrl(base()));
        QVERIFY(read.usable && read.refusal.isEmpty());
        QCOMPARE(read.server_version.value_or("-") + "/" + read.launcher_version.value_or("-"),
                 versions);
        QCOMPARE(read.files ? read.files->size() : -1, files);
    }

    // A run of a plan with nothing to fetch ends at once: with success, or
    // with the first name the plan had to leave out.
    void run_of_plan_without_files_data()
    {
        QTest::addColumn<QStringList>("refused");
        QTest::addColumn<QString>("error");
        QTest::newRow("nothing refused") << QStringList() << "";
        QTest::newRow("two refused")
            << QStringList({"../a", "../b"}) << TEXT_FILES_REFUSED.arg("../a", "2");
    }
    void run_of_plan_without_files()
    {
        QFETCH(QStringList, refused);
        QFETCH(QString, error);
        UpdatePlan plan;
        plan.refused_files = refused;
        UpdateRun run(game_here());
        QStringList events;
        connect(&run, &UpdateRun::download_error, [&](int code, const QString &what) {
            events << QString::number(code) + " " + what;
        });
        connect(&run, &UpdateRun::finished,
                [&](bool success) { events << QString("finished %1").arg(success); });
        run.start(plan);
        QCOMPARE(events,
                 error.isEmpty() ? QStringList {"finished 1"}
                                 : QStringList({"908 " + error, "finished 0"}));
        QCOMPARE(run.get_total_steps(), qint64(0));
    }

    void plan_counts_one_step_per_patch_or_whole_file()
    {
        UpdatePlan plan;
        QCOMPARE(plan.total_steps(), qint64(0));
        FileRecord whole;
        FileRecord patched;
        for (int i = 0; i < 3; ++i)
            patched.patch_chain.enqueue(PatchStep());
        plan.files << whole << patched << whole;
        QCOMPARE(plan.total_steps(), qint64(5));
    }

    // Names Windows keeps for devices, cuts short or reads as a stream:
    // refused there (908) before anything is made; plain names elsewhere.
    void windows_device_and_cut_names_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("patch");
        QTest::addColumn<bool>("refused_on_windows");
        const QString h1 = "1111111", h2 = "2222222";
        for (const char *key : {"CON", "nul.txt", "COM1.dat", "lpt9", "Aux.x.y", "prn .txt",
                                "data/conout$/f.dat", "trail.", "trail ", "data./f.dat"})
            QTest::newRow(key) << QString(key) << "" << "" << true;
        QTest::newRow("superscript port") << QString("COM") + QChar(0xb9) + ".dat" << "" << ""
                                          << true;
        QTest::newRow("device folder in path") << "f.dat" << "made/nul" << "" << true;
        QTest::newRow("folder ends with a space") << "f.dat" << "made " << "" << true;
        QTest::newRow("device patch name")
            << "f.dat" << "" << "NUL.x_" + h1 + "_" + h2 + ".patch" << true;
        // Names that merely look alike are plain everywhere.
        for (const char *key : {"CONSOLE", "com0.dat", "COM10", "lpt", "nul_x.txt", "x.con",
                                "data/a.b/f.dat"})
            QTest::newRow(key) << QString(key) << "" << "" << false;
    }
    void windows_device_and_cut_names()
    {
        QFETCH(QString, key);
        QFETCH(QString, path);
        QFETCH(QString, patch);
        QFETCH(bool, refused_on_windows);
#ifdef Q_OS_WIN
        const bool refused = refused_on_windows;
#else
        Q_UNUSED(refused_on_windows);
        const bool refused = false;
#endif
        QTemporaryDir game;
        QVERIFY(QDir::setCurrent(game.path()));
        QJsonObject entry {{"hash", "1234567"}};
        if (!path.isEmpty())
            entry.insert("path", path);
        if (!patch.isEmpty())
            entry.insert("patches", QJsonArray {patch});
        {
            Updater updater {QUrl(base())};
            updater.verify_files(QJsonObject {{key, entry}}, QUrl(base()));
            QCOMPARE(updater.get_refused_files(), refused ? QStringList {key} : QStringList());
            QCOMPARE(updater.get_file_queue().size(), refused ? 0 : 1);
        }
        const QStringList made =
            QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System);
        QVERIFY(QDir::setCurrent(work.path()));
        if (refused)
            QVERIFY2(made.isEmpty(), qPrintable(made.join(", ")));
    }
};

QTEST_GUILESS_MAIN(TestUpdater)
#include "tst_updater.moc"
