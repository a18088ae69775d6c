// Constants and the development-CA hook of the application shell.
#include "app/constants.h"
#include "app/distribution_address.h"
#include "app/launcher_application.h"
#include "app/player_error.h"
#include "app/version.h"

#include <QUrl>
#include <QtTest>

Q_DECLARE_METATYPE(UpdateFault)

class TestApp : public QObject
{
    Q_OBJECT

private slots:
    void user_agent_carries_the_version()
    {
        QCOMPARE(USER_AGENT, QStringLiteral("ORVEX-Launcher/" ORVEX_LAUNCHER_VERSION));
        QVERIFY(USER_AGENT.endsWith(LAUNCHER_VERSION));
    }

    void updating_text_has_real_line_breaks()
    {
        const QStringList lines = TEXT_UPDATING_FILE.split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 3);
        QCOMPARE(lines.at(0), QStringLiteral("Updating file %1 of %2..."));
        QCOMPARE(lines.at(1), QStringLiteral("%8"));
        QCOMPARE(lines.at(2), QStringLiteral("[%3/%4%5 @ %6%7]"));
    }

    void every_address_is_https_with_its_exact_path_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<QString>("path");
        QTest::newRow("home") << URL_HOME << QString();
        QTest::newRow("forums") << URL_FORUMS << QStringLiteral("/");
        QTest::newRow("wiki") << URL_WIKI << QStringLiteral("/wiki/Main_Page");
        QTest::newRow("account") << URL_ACCOUNT << QStringLiteral("/account/");
        QTest::newRow("releases") << URL_RELEASES << QStringLiteral("/releases/");
        QTest::newRow("faq") << URL_FAQ << QStringLiteral("/help/faq/");
        QTest::newRow("reset") << URL_RESET_PASSWORD << QStringLiteral("/resetpass/");
        QTest::newRow("register") << URL_REGISTER << QStringLiteral("/register/");
        QTest::newRow("play") << URL_PLAY << QStringLiteral("/play/");
        QTest::newRow("news") << URL_LAUNCHER_API << QStringLiteral("/launcher/");
        QTest::newRow("login") << URL_LOGIN_API << QStringLiteral("/login/");
        QTest::newRow("download") << URL_DOWNLOAD << QStringLiteral("/win32/");
    }

    void every_address_is_https_with_its_exact_path()
    {
        QFETCH(QString, address);
        QFETCH(QString, path);
        const QUrl url(address, QUrl::TolerantMode);
        QVERIFY(url.isValid());
        QCOMPARE(url.scheme(), QStringLiteral("https"));
        if (path.isEmpty()) // the bare site root, without a trailing slash
            QVERIFY2(url.path().isEmpty() && !address.endsWith(QLatin1Char('/')),
                     qPrintable(address));
        else
            QVERIFY2(url.path().endsWith(path), qPrintable(address));
    }

    void distribution_pattern_yields_the_distribution_base()
    {
        QVERIFY(URL_DOWNLOAD_DIST.contains(QStringLiteral("%1")));
        const QUrl base(URL_DOWNLOAD_DIST.arg(QStringLiteral("qa")), QUrl::TolerantMode);
        QVERIFY(base.isValid());
        QVERIFY(base.toString().contains(QStringLiteral("qa")));
        QVERIFY(base.path().endsWith(QStringLiteral("/win64/")));
        // The manifest name is appended by plain concatenation.
        QVERIFY((base.toString() + MANIFEST_NAME).endsWith(QStringLiteral("/win64/patcher.json")));
    }

    void distribution_base_takes_only_plain_host_labels_data()
    {
        QTest::addColumn<QString>("dist");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("qa") << "qa" << true;
        QTest::newRow("upper case and digits") << "PROD-2" << true;
        QTest::newRow("63 characters") << QString(63, QLatin1Char('a')) << true;
        QTest::newRow("64 characters") << QString(64, QLatin1Char('a')) << false;
        QTest::newRow("empty") << "" << false;
        QTest::newRow("path and query") << "evil.example/x?" << false;
        QTest::newRow("user and port") << "user@evil.example:443/" << false;
        QTest::newRow("dot") << "qa.evil" << false;
        QTest::newRow("percent") << "qa%2f" << false;
        QTest::newRow("space") << "q a" << false;
        QTest::newRow("non-ASCII letter") << QString::fromUtf8("k\xc3\xb8ge") << false;
    }

    void distribution_base_takes_only_plain_host_labels()
    {
        QFETCH(QString, dist);
        QFETCH(bool, accepted);
        const QUrl base = distribution_base(dist);
        QCOMPARE(is_plain_host_label(dist), accepted);
        QCOMPARE(base.isEmpty(), !accepted);
        // Host names compare without case: the address keeps the name as
        // given where the pattern puts it into the path.
        if (accepted)
            QCOMPARE(base, QUrl(URL_DOWNLOAD_DIST.arg(dist), QUrl::TolerantMode));
    }

    void verify_option_is_found_among_the_arguments_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("full");
        QTest::newRow("none") << QStringList {"launcher"} << false;
        QTest::newRow("alone") << QStringList {"launcher", "--verify"} << true;
        QTest::newRow("among others") << QStringList {"launcher", "extra", "--verify"} << true;
        QTest::newRow("program name only") << QStringList {"--verify"} << false;
        QTest::newRow("other spelling") << QStringList {"launcher", "-verify"} << false;
    }

    void verify_option_is_found_among_the_arguments()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, full);
        QCOMPARE(LauncherApplication::asks_for_full_verification(arguments), full);
    }

    // The one table from faults to what the player sees: the codes and
    // texts the player reads, a name holding "%1" kept as it is.
    void player_error_words_each_fault_data()
    {
        QTest::addColumn<UpdateFault>("fault");
        QTest::addColumn<QString>("subject");
        QTest::addColumn<QString>("detail");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("text");
        QTest::newRow("short write") << UpdateFault::ShortWrite << "a.bz2" << "" << 904
                                     << "Couldn't extract archive: a.bz2";
        QTest::newRow("transfer failed") << UpdateFault::TransferFailed << "a%1" << "" << 905
                                         << "Couldn't download file: a%1";
        QTest::newRow("transfer failed, with its cause")
            << UpdateFault::TransferFailed << "a" << "server answered 404" << 905
            << "Couldn't download file: a (server answered 404)";
        QTest::newRow("no disk space") << UpdateFault::NoDiskSpace << "12" << "3" << 907
                                       << "Not enough disk space: 12 MB needed, 3 MB free";
        QTest::newRow("outside the folder")
            << UpdateFault::OutsideFolder << "x/a" << "2" << 908
            << "Couldn't update x/a: its path leads outside the game folder (2 file(s) skipped)";
        QTest::newRow("archive out of memory") << UpdateFault::ArchiveNoMemory << "a.bz2" << ""
                                               << -3 << "Couldn't extract archive: a.bz2";
        QTest::newRow("manifest refused") << UpdateFault::ManifestRefused << "" << "why" << 909
                                          << "why";
    }

    void player_error_words_each_fault()
    {
        QFETCH(UpdateFault, fault);
        QFETCH(QString, subject);
        QFETCH(QString, detail);
        QFETCH(int, code);
        QFETCH(QString, text);
        const PlayerError error = player_error({fault, subject, detail});
        QCOMPARE(error.code, code);
        QCOMPARE(error.text, text);
    }
};

QTEST_GUILESS_MAIN(TestApp)
#include "tst_app.moc"
