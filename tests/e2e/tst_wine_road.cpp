// The player's road with the Windows launcher: launcher.exe of the Windows
// cross-build under wine, against the local service of this build, driven on
// an X display. The Windows bin folder comes from ORVEX_WINDOWS_BIN
// (scripts/test --windows sets it); without it the suite is skipped.
#include "demo_session.h"
#include "x_driver.h"

#include <QDir>
#include <QStandardPaths>
#include <QtTest>

class TestWineRoad : public QObject
{
    Q_OBJECT

    DemoSession session;
    QString root;
    QString wine_prefix;

    bool run_wine(const QString &program, const QStringList &arguments)
    {
        QProcess process;
        process.setProcessEnvironment(session.wine_environment());
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(program, arguments);
        return process.waitForFinished(300000) && process.exitStatus() == QProcess::NormalExit &&
            process.exitCode() == 0;
    }

    // Logs in from `install`, waits for the game's report, closes the
    // launcher once its window is back and returns the report and the
    // service's log.
    QJsonObject play(const QString &install, const QString &name, const QString &password,
                     QStringList &log)
    {
        const QString record = root + QStringLiteral("/record-") + name + QStringLiteral(".json");
        // A record of an earlier play is not this one's.
        QFile::remove(record);
        if (!session.start_service(session.published_v2(), session.published_qa()) ||
            !session.start_launcher(install, record))
            return {};
        session.log_in(name, password);
        const bool ran = DemoSession::wait_for_file(record, 120000);
        const bool back = !XDriver::wait_for_window(QStringLiteral("^Saltmarch$"), 30000).isEmpty();
        const int status = back ? session.close_launcher() : -1;
        log = session.stop_service();
        if (!ran || status != 0)
            return {};
        return DemoSession::read_json(record);
    }

private slots:
    void initTestCase()
    {
        const QString windows_bin = qEnvironmentVariable("ORVEX_WINDOWS_BIN");
        if (windows_bin.isEmpty() || !QFile::exists(windows_bin + QStringLiteral("/launcher.exe")))
            QSKIP("needs ORVEX_WINDOWS_BIN, the bin folder of a Windows cross-build "
                  "(scripts/test --windows)");
        if (qEnvironmentVariableIsEmpty("DISPLAY"))
            QSKIP("needs an X display (scripts/test runs the suites under Xvfb)");
        for (const char *tool : {"xdotool", "wine", "wineserver"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP("needs xdotool and wine (scripts/windows-toolchain installs wine)");
        root = QDir::currentPath() + QStringLiteral("/session");
        wine_prefix = qEnvironmentVariableIsSet("WINEPREFIX")
            ? qEnvironmentVariable("WINEPREFIX")
            : QDir::currentPath() + QStringLiteral("/wine");
        session.use_windows_programs(windows_bin, wine_prefix);
        if (!QFile::exists(wine_prefix + QStringLiteral("/system.reg")))
            QVERIFY(run_wine(QStringLiteral("wine"),
                             {QStringLiteral("wineboot"), QStringLiteral("-i")}));
        QDir(root).removeRecursively();
        QVERIFY(QDir().mkpath(root));
        QVERIFY(session.publish(root));
    }

    void cleanupTestCase()
    {
        if (!wine_prefix.isEmpty())
            run_wine(QStringLiteral("wineserver"), {QStringLiteral("-k")});
    }

    void update_from_release_1_patches_and_starts_the_game_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<bool>("programs_start");
        QTest::newRow("plain folder") << QStringLiteral("wine") << true;
        // The launcher, its programs and the game in a folder whose Windows
        // path passes 260 characters, with non-ASCII names on the way.
        QString deep = QStringLiteral(u"wine-Ørnebrú/Kaldvík 数据");
        while (QDir::toNativeSeparators("Z:" + root + "/install-" + deep).size() <= 300)
            deep += QStringLiteral(u"/a-longer-folder-of-the-saltmarch-game-ü");
        // Wine starts no program from inside a Windows program when its
        // folder is this long, not even by its short (8.3) form: there
        // patcher.exe and the game do not start.
        QTest::newRow("non-ASCII, longer than 260 characters") << deep << false;
    }

    // Release 1 installed: changed files come as patches that patcher.exe
    // applies, the added file whole, and the game gets the four variables.
    void update_from_release_1_patches_and_starts_the_game()
    {
        QFETCH(QString, folder);
        QFETCH(bool, programs_start);
        const QString install = session.make_install(folder, true);
        QVERIFY(!install.isEmpty());
        QStringList log;
        const QJsonObject record =
            play(install, QStringLiteral("player"), QStringLiteral("salt"), log);
        if (!programs_start) {
            // Login, manifest and whole files work there; each patch gives
            // way to its whole file, and the update still ends with every
            // file in place; the game's start fails with its message.
            QVERIFY(record.isEmpty());
            QVERIFY2(DemoSession::count_containing(log, QStringLiteral("GET /win32/patches/")) >= 2,
                     qPrintable(log.join(QLatin1Char('\n'))));
            QCOMPARE(DemoSession::count_containing(
                         log, QStringLiteral("GET /win32/data/terrain.pak.bz2 200")),
                     1);
            const QStringList differing = session.files_differing_from(
                session.published_v2() + QStringLiteral("/patcher.json"), install);
            QVERIFY2(differing.isEmpty(), qPrintable(differing.join(QLatin1Char('\n'))));
            return;
        }
        QVERIFY2(!record.isEmpty(), qPrintable(log.join(QLatin1Char('\n'))));

        QVERIFY2(DemoSession::count_containing(log, QStringLiteral("GET /win32/patches/")) >= 2,
                 qPrintable(log.join(QLatin1Char('\n'))));
        QCOMPARE(DemoSession::count_containing(log, QStringLiteral("/win32/data/terrain.pak.bz2")),
                 0);
        QCOMPARE(DemoSession::count_containing(
                     log, QStringLiteral("GET /win32/data/quests/chapter2.dat.bz2 200")),
                 1);
        const QStringList differing = session.files_differing_from(
            session.published_v2() + QStringLiteral("/patcher.json"), install);
        QVERIFY2(differing.isEmpty(), qPrintable(differing.join(QLatin1Char('\n'))));
        QCOMPARE(QDir(install).entryList({QStringLiteral("*.patch")}, QDir::Files).size(), 0);

        QVERIFY(record.value(QStringLiteral("ORVEX_PLAYCOOKIE")).toString().size() >= 8);
        QCOMPARE(record.value(QStringLiteral("ORVEX_GAMESERVER")).toString(),
                 QStringLiteral("127.0.0.1:7198"));
        QCOMPARE(record.value(QStringLiteral("ORVEX_DIST")).toString(), QStringLiteral("PROD"));
        QVERIFY(record.value(QStringLiteral("ORVEX_DEV")).isNull());
    }

    // A tester's account: the game gets the distribution and the development flag.
    void qa_account_passes_the_development_flag()
    {
        const QString install = session.make_install(QStringLiteral("wine-qa"), true);
        QVERIFY(!install.isEmpty());
        QStringList log;
        const QJsonObject record =
            play(install, QStringLiteral("qa"), QStringLiteral("tester"), log);
        QVERIFY2(!record.isEmpty(), qPrintable(log.join(QLatin1Char('\n'))));
        QCOMPARE(record.value(QStringLiteral("ORVEX_DIST")).toString(), QStringLiteral("QA"));
        QCOMPARE(record.value(QStringLiteral("ORVEX_DEV")).toString(), QStringLiteral("YES"));
        QVERIFY(record.value(QStringLiteral("ORVEX_PLAYCOOKIE")).toString().size() >= 8);
        QCOMPARE(DemoSession::count_containing(
                     log, QStringLiteral("GET /dist/qa/win64/patcher.json 200")),
                 1);
    }
};

QTEST_GUILESS_MAIN(TestWineRoad)
#include "tst_wine_road.moc"
