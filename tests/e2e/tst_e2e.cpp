// The whole job, as a player meets it: the real launcher of a development
// build against the real local service, driven on an X display.
#include "app/version.h"
#include "demo_session.h"
#include "x_driver.h"

#include <QDir>
#include <QJsonDocument>
#include <QStandardPaths>
#include <QtTest>

class TestEndToEnd : public QObject
{
    Q_OBJECT

    DemoSession session;
    QString root;
    int run_number = 0;

    QString record_path() const { return root + QStringLiteral("/record-%1.json").arg(run_number); }

    static bool logged(const QStringList &log, const QString &request)
    {
        for (const QString &line : log)
            if (line.startsWith(request + QLatin1Char(' ')))
                return true;
        return false;
    }

    // Starts the launcher in `install`, logs in, and waits for the game's
    // report. Returns the report, empty if the game never ran.
    QJsonObject play(const QString &install, const QString &name, const QString &password,
                     const QString &token = QString())
    {
        ++run_number;
        if (!session.start_launcher(install, record_path()))
            return {};
        session.log_in(name, password);
        if (!token.isNull()) {
            if (XDriver::wait_for_window(QStringLiteral("^Two step required$"), 20000).isEmpty())
                return {};
            XDriver::type(token);
            XDriver::key(QStringLiteral("Return"));
        }
        if (!DemoSession::wait_for_file(record_path(), 120000))
            return {};
        return DemoSession::read_json(record_path());
    }

    // After the game the window is back, and its close button ends the launcher with status 0.
    void expect_window_back_and_close()
    {
        QVERIFY(!XDriver::wait_for_window(QStringLiteral("^Saltmarch$"), 20000).isEmpty());
        QVERIFY(session.launcher_running());
        QCOMPARE(session.close_launcher(), 0);
    }

private slots:
    void initTestCase()
    {
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs an X display (scripts/test runs the suites under Xvfb)");
        if (QStandardPaths::findExecutable(QStringLiteral("xdotool")).isEmpty())
            QSKIP("needs xdotool (scripts/setup installs it)");
        root = QDir::currentPath() + QStringLiteral("/session");
        QDir(root).removeRecursively();
        QVERIFY(QDir().mkpath(root));
        QVERIFY(session.publish(root));
    }

    void fresh_install_fetches_every_file_whole()
    {
        const QString install = session.make_install(QStringLiteral("fresh"), false);
        QVERIFY(session.start_service(session.published_v2(), session.published_qa()));
        const QJsonObject record = play(install, QStringLiteral("player"), QStringLiteral("salt"));
        QVERIFY2(!record.isEmpty(), "the game did not start");
        expect_window_back_and_close();
        const QStringList log = session.stop_service();

        QCOMPARE(record.value(QStringLiteral("ORVEX_DIST")).toString(), QStringLiteral("PROD"));
        QVERIFY(record.value(QStringLiteral("ORVEX_DEV")).isNull());
        QCOMPARE(record.value(QStringLiteral("ORVEX_GAMESERVER")).toString(),
                 QStringLiteral("127.0.0.1:7198"));
        QVERIFY(record.value(QStringLiteral("ORVEX_PLAYCOOKIE")).toString().size() >= 8);
        QCOMPARE(record.value(QStringLiteral("game_api")).toString(), QStringLiteral("pandagl"));
        QVERIFY(logged(log, QStringLiteral("GET /win32/data/terrain.pak.bz2 200")));
        QVERIFY(logged(log, QStringLiteral("GET /win32/orvex.exe.bz2 200")));
        QCOMPARE(DemoSession::count_containing(log, QStringLiteral("/patches/")), 0);
        const QStringList differing = session.files_differing_from(
            session.published_v2() + QStringLiteral("/patcher.json"), install);
        QVERIFY2(differing.isEmpty(), qPrintable(differing.join(QLatin1Char('\n'))));
    }

    void update_from_release_1_applies_patches()
    {
        const QString install = session.make_install(QStringLiteral("patched"), true);
        QVERIFY(session.start_service(session.published_v2(), session.published_qa()));
        const QJsonObject record = play(install, QStringLiteral("player"), QStringLiteral("salt"));
        QVERIFY2(!record.isEmpty(), "the game did not start");
        expect_window_back_and_close();
        const QStringList log = session.stop_service();

        QVERIFY2(DemoSession::count_containing(log, QStringLiteral("GET /win32/patches/")) >= 2,
                 qPrintable(log.join(QLatin1Char('\n'))));
        QCOMPARE(DemoSession::count_containing(log, QStringLiteral("/win32/data/terrain.pak.bz2")),
                 0);
        QCOMPARE(DemoSession::count_containing(log, QStringLiteral("/win32/data/sounds.pak.bz2")),
                 0);
        QVERIFY(logged(log, QStringLiteral("GET /win32/data/quests/chapter2.dat.bz2 200")));
        const QStringList differing = session.files_differing_from(
            session.published_v2() + QStringLiteral("/patcher.json"), install);
        QVERIFY2(differing.isEmpty(), qPrintable(differing.join(QLatin1Char('\n'))));
        // No patch file is left behind in the install folder.
        QCOMPARE(QDir(install).entryList({QStringLiteral("*.patch")}, QDir::Files).size(), 0);
    }

    void refused_login_stays_on_the_form()
    {
        const QString install = session.make_install(QStringLiteral("refused"), true);
        QVERIFY(session.start_service(session.published_v2(), session.published_qa()));
        ++run_number;
        QVERIFY(session.start_launcher(install, record_path()));
        session.log_in(QStringLiteral("player"), QStringLiteral("wrong"));
        QTRY_VERIFY_WITH_TIMEOUT(logged(session.service_log(), QStringLiteral("POST /login/ 200")),
                                 20000);
        QTest::qWait(2000);
        QVERIFY(!QFile::exists(record_path()));
        QVERIFY(XDriver::is_visible(session.launcher_window()));
        QCOMPARE(session.close_launcher(), 0);
        const QStringList log = session.stop_service();
        // Only the start-up version read reached the download service.
        QCOMPARE(DemoSession::count_containing(log, QStringLiteral(" /win32/")), 1);
        QVERIFY(logged(log, QStringLiteral("GET /win32/patcher.json 200")));
    }

    // Files the service sent: every logged GET below /win32/ but the manifest.
    static QStringList file_requests(const QStringList &log)
    {
        QStringList files;
        for (const QString &line : log)
            if (line.startsWith(QStringLiteral("GET /win32/")) &&
                !line.startsWith(QStringLiteral("GET /win32/patcher.json ")))
                files << line;
        return files;
    }

    void close_ends_the_run_at_once_data()
    {
        QTest::addColumn<bool>("during_update");
        QTest::newRow("checking for updates") << false;
        QTest::newRow("updating") << true;
    }

    void close_ends_the_run_at_once()
    {
        QFETCH(bool, during_update);
        ++run_number;
        const QString downloads = root + QStringLiteral("/paced-") + QString::number(run_number);
        QDir(downloads).removeRecursively();
        QVERIFY(DemoSession::copy_folder(session.published_v2(), downloads));
        if (!during_update) {
            // A manifest that takes many seconds to arrive holds the road in "Checking".
            QFile manifest(downloads + QStringLiteral("/patcher.json"));
            QVERIFY(manifest.open(QIODevice::Append));
            manifest.write(QByteArray(160 * 1024, ' '));
            manifest.close();
        }
        QVERIFY(session.start_service(downloads, QString(), during_update ? 96 : 8));
        const QString install = session.make_install(QStringLiteral("closed"), false);
        QVERIFY(session.start_launcher(install, record_path()));
        session.log_in(QStringLiteral("player"), QStringLiteral("salt"));
        QTRY_VERIFY_WITH_TIMEOUT(logged(session.service_log(), QStringLiteral("POST /login/ 200")),
                                 20000);
        if (during_update)
            QTRY_VERIFY_WITH_TIMEOUT(!file_requests(session.service_log()).isEmpty(), 120000);
        else
            QTest::qWait(1000);
        const int files_before_close = file_requests(session.service_log()).size();

        QCOMPARE(session.close_launcher(), 0);
        QTest::qWait(1500); // anything the launcher still asked for would show in the log
        const QStringList log = session.stop_service();
        QVERIFY(!QFile::exists(record_path()));
        // At most the transfer under way when the window closed ends after it.
        QVERIFY2(file_requests(log).size() <= files_before_close + 1,
                 qPrintable(log.join(QLatin1Char('\n'))));
        if (!during_update)
            QVERIFY2(DemoSession::count_containing(log, QStringLiteral("GET /win32/")) <= 1,
                     qPrintable(log.join(QLatin1Char('\n'))));
        // Every game file there is whole: the new release's content or nothing.
        const QStringList differing =
            session.files_differing_from(downloads + QStringLiteral("/patcher.json"), install);
        for (const QString &line : differing)
            QVERIFY2(!QFile::exists(install + QLatin1Char('/') +
                                    line.section(QStringLiteral(": "), 0, 0)),
                     qPrintable(line));
    }

    void two_step_account_asks_for_the_token()
    {
        const QString install = session.make_install(QStringLiteral("two-step"), true);
        QVERIFY(session.start_service(session.published_v2(), session.published_qa()));
        const QJsonObject record = play(install, QStringLiteral("guarded"),
                                        QStringLiteral("pepper"), QStringLiteral("246810"));
        QVERIFY2(!record.isEmpty(), "the game did not start");
        expect_window_back_and_close();
        const QStringList log = session.stop_service();
        QCOMPARE(DemoSession::count_containing(log, QStringLiteral("POST /login/")), 2);
    }

    void qa_distribution_reads_its_own_manifest()
    {
        const QString install = session.make_install(QStringLiteral("qa"), true);
        QVERIFY(session.start_service(session.published_v2(), session.published_qa()));
        const QJsonObject record = play(install, QStringLiteral("qa"), QStringLiteral("tester"));
        QVERIFY2(!record.isEmpty(), "the game did not start");
        expect_window_back_and_close();
        const QStringList log = session.stop_service();

        QCOMPARE(record.value(QStringLiteral("ORVEX_DIST")).toString(), QStringLiteral("QA"));
        QCOMPARE(record.value(QStringLiteral("ORVEX_DEV")).toString(), QStringLiteral("YES"));
        QVERIFY(logged(log, QStringLiteral("GET /dist/qa/win64/patcher.json 200")));
        QVERIFY(logged(log, QStringLiteral("GET /dist/qa/win64/data/qa/overlay.dat.bz2 200")));
        const QStringList differing = session.files_differing_from(
            session.published_qa() + QStringLiteral("/patcher.json"), install);
        QVERIFY2(differing.isEmpty(), qPrintable(differing.join(QLatin1Char('\n'))));
    }

    void unreachable_downloads_start_the_game_from_local_files()
    {
        const QString install = session.make_install(QStringLiteral("offline"), true);
        QVERIFY(session.start_service(QString()));
        const QJsonObject record = play(install, QStringLiteral("player"), QStringLiteral("salt"));
        QVERIFY2(!record.isEmpty(), "the game did not start");
        expect_window_back_and_close();
        session.stop_service();
        const QStringList differing = session.files_differing_from(
            root + QStringLiteral("/published/v1/patcher.json"), install);
        QVERIFY2(differing.isEmpty(), qPrintable(differing.join(QLatin1Char('\n'))));
    }

    void outdated_launcher_prompts_and_exits_with_status_1_data()
    {
        QTest::addColumn<QString>("published_version");
        QTest::newRow("newer") << "1.4.1";
        QTest::newRow("older") << "1.3.9";
        QTest::newRow("trailing blank") << ORVEX_LAUNCHER_VERSION " ";
    }

    void outdated_launcher_prompts_and_exits_with_status_1()
    {
        QFETCH(QString, published_version);
        const QString downloads =
            root + QStringLiteral("/outdated-") + QString::number(++run_number);
        QVERIFY(QDir().mkpath(downloads));
        QFile manifest(downloads + QStringLiteral("/patcher.json"));
        QVERIFY(manifest.open(QIODevice::WriteOnly));
        manifest.write(QJsonDocument(QJsonObject {{"server-version", "2.0"},
                                                  {"launcher-version", published_version}})
                           .toJson());
        manifest.close();
        QVERIFY(session.start_service(downloads));
        const QString install = session.make_install(QStringLiteral("outdated"), false);
        QVERIFY(session.start_launcher(install, record_path()));
        QVERIFY(!XDriver::wait_for_window(QStringLiteral("^Launcher Update$"), 20000).isEmpty());
        XDriver::key(QStringLiteral("Return"));
        QCOMPARE(session.wait_for_launcher_exit(20000), 1);
        session.stop_service();
    }
};

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
