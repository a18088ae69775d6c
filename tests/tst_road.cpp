// The play road of the real window against the HTTPS fixture on the build's
// service port: login, manifest reads, update, game start, and back.
#include "app/constants.h"
#include "bz2_util.h"
#include "connect_proxy.h"
#include "hash_text.h"
#include "https_fixture.h"
#include "login/login_client.h"
#include "news/news_display.h"
#include "signing_keys.h"
#include "test_files.h"
#include "updater/updater.h"
#include "widget_lookup.h"
#include "window/launcher_window.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QNetworkProxyFactory>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {

const char *const GAME_VARIABLES[] = {"ORVEX_PLAYCOOKIE", "ORVEX_GAMESERVER", "ORVEX_DIST",
                                      "ORVEX_DEV"};

FixtureResponse json_answer(const QJsonObject &object)
{
    FixtureResponse response;
    response.headers = {{"Content-Type", "application/json"}};
    response.body = QJsonDocument(object).toJson(QJsonDocument::Compact);
    return response;
}

FixtureResponse not_found()
{
    FixtureResponse response;
    response.status = 404;
    response.body = "<html>not here</html>";
    return response;
}

QJsonObject accepted(const QString &dist,
                     const QString &game_server = QStringLiteral("gs.example:7198"),
                     const QString &token = QStringLiteral("cookie-1234"))
{
    return {{"status", 7}, {"token", token}, {"gameserver", game_server}, {"dist", dist}};
}

// Sets an environment variable for one scope and restores the earlier state.
class ScopedVariable
{
public:
    ScopedVariable(const char *name, const QByteArray &value)
        : name(name), had(qEnvironmentVariableIsSet(name)), before(qgetenv(name))
    {
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~ScopedVariable()
    {
        if (had)
            qputenv(name, before);
        else
            qunsetenv(name);
    }

private:
    const char *name;
    bool had;
    QByteArray before;
};

} // namespace

class TestRoad : public QObject
{
    Q_OBJECT

    HttpsFixture fixture;
    std::unique_ptr<QTemporaryDir> work_dir;
    QString previous_dir;

    // A stand-in game that writes the environment it received to a file.
    void write_game(const QString &name)
    {
        QFile file(name);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("#!/bin/sh\nenv > game-env.txt\n");
        file.close();
        QVERIFY(file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    }

    // The game's environment as name -> value, only the launcher's variables.
    static QMap<QString, QString> game_environment()
    {
        QMap<QString, QString> variables;
        QFile file(QStringLiteral("game-env.txt"));
        if (!file.open(QIODevice::ReadOnly))
            return variables;
        for (const QByteArray &line : file.readAll().split('\n'))
            if (line.startsWith("ORVEX_"))
                variables.insert(QString::fromUtf8(line.left(line.indexOf('='))),
                                 QString::fromUtf8(line.mid(line.indexOf('=') + 1)));
        file.remove();
        return variables;
    }

    void play(LauncherWindow &window, const QString &name = QStringLiteral("mariner"),
              const QString &password = QStringLiteral("salt"))
    {
        child<QLineEdit>(window, "line_edit_username")->setText(name);
        child<QLineEdit>(window, "line_edit_password")->setText(password);
        child<QPushButton>(window, "push_button_play")->click();
    }

    QStringList requested_paths() const
    {
        QStringList paths;
        for (const RecordedRequest &request : fixture.requests())
            paths << QString::fromLatin1(request.method + ' ' + request.path);
        return paths;
    }

private slots:
    void initTestCase()
    {
        const QUrl login(URL_LOGIN_API);
        if (login.host() != QLatin1String("127.0.0.1") || login.port() <= 0)
            QSKIP("needs a development build whose services are on 127.0.0.1");
        QVERIFY(fixture.start(static_cast<quint16>(login.port())));
    }

    void init()
    {
        for (const char *name : GAME_VARIABLES)
            qunsetenv(name);
        work_dir = std::make_unique<QTemporaryDir>();
        previous_dir = QDir::currentPath();
        QDir::setCurrent(work_dir->path());
        write_game(GAME_EXECUTABLE);
        // Unsigned manifests, whatever keys the build has; tests of signed ones set keys.
        Updater::set_default_manifest_keys(QByteArray());
        fixture.route("POST", "/login/", json_answer(accepted(QStringLiteral("prod"))));
        fixture.route("GET", "/win32/patcher.json", not_found());
        fixture.route("GET", "/launcher/", FixtureResponse {});
        fixture.clear_requests();
    }

    void cleanup()
    {
        QDir::setCurrent(previous_dir);
        work_dir.reset();
    }

    void empty_fields_do_nothing()
    {
        LauncherWindow window;
        play(window, QString(), QStringLiteral("salt"));
        play(window, QStringLiteral("mariner"), QString());
        QCOMPARE(child<QLabel>(window, "label_status")->text(), TEXT_LOGIN);
        QVERIFY(child<QPushButton>(window, "push_button_play")->isEnabled());
        QVERIFY(!requested_paths().contains(QStringLiteral("POST /login/")));
    }

    void return_key_moves_focus_before_it_plays()
    {
        LauncherWindow window;
        auto *name = child<QLineEdit>(window, "line_edit_username");
        auto *password = child<QLineEdit>(window, "line_edit_password");
        name->setText(QStringLiteral("mariner"));
        QVERIFY(QMetaObject::invokeMethod(&window, "on_line_edit_username_returnPressed"));
        QCOMPARE(window.focusWidget(), password);
        // Return with an empty password changes nothing; with an empty name it goes back there.
        QVERIFY(QMetaObject::invokeMethod(&window, "on_line_edit_password_returnPressed"));
        QCOMPARE(window.focusWidget(), password);
        name->clear();
        password->setText(QStringLiteral("salt"));
        QVERIFY(QMetaObject::invokeMethod(&window, "on_line_edit_password_returnPressed"));
        QCOMPARE(window.focusWidget(), name);
        QVERIFY(!requested_paths().contains(QStringLiteral("POST /login/")));
    }

    void refusal_shows_code_and_reenables_the_form()
    {
        fixture.route("POST", "/login/",
                      json_answer({{"status", 1}, {"message", "Wrong name or password."}}));
        LauncherWindow window;
        play(window);
        QCOMPARE(child<QLabel>(window, "label_status")->text(),
                 QStringLiteral("501: Wrong name or password."));
        for (const char *name : {"push_button_play", "line_edit_username", "line_edit_password",
                                 "push_button_options"})
            QVERIFY2(child<QWidget>(window, name)->isEnabled(), name);
        QCOMPARE(child<QLineEdit>(window, "line_edit_username")->text(), QStringLiteral("mariner"));
        QCOMPARE(child<QLineEdit>(window, "line_edit_password")->text(), QStringLiteral("salt"));
        QVERIFY(!QFile::exists(QStringLiteral("game-env.txt")));
    }

    void form_is_disabled_while_the_exchange_runs()
    {
        FixtureResponse slow = json_answer({{"status", 1}, {"message", "no"}});
        slow.delay_before_headers_ms = 1500;
        fixture.route("POST", "/login/", slow);
        LauncherWindow window;
        bool checked = false;
        QTimer::singleShot(400, &window, [&] {
            QCOMPARE(child<QLabel>(window, "label_status")->text(), TEXT_VERIFYING_CREDENTIALS);
            for (const char *name : {"push_button_play", "line_edit_username", "line_edit_password",
                                     "push_button_options"})
                QVERIFY2(!child<QWidget>(window, name)->isEnabled(), name);
            // Return in the password field must not start a second exchange.
            QMetaObject::invokeMethod(&window, "on_line_edit_password_returnPressed");
            checked = true;
        });
        play(window);
        QVERIFY(checked);
        QCOMPARE(requested_paths().count(QStringLiteral("POST /login/")), 1);
    }

    void unreachable_manifest_starts_the_game_from_local_files()
    {
        LauncherWindow window;
        play(window);
        const QMap<QString, QString> env = game_environment();
        QCOMPARE(env.value(QStringLiteral("ORVEX_PLAYCOOKIE")), QStringLiteral("cookie-1234"));
        QCOMPARE(child<QLabel>(window, "label_server_version")->text(), TEXT_NOT_AVAILABLE);
        QCOMPARE(requested_paths().count(QStringLiteral("GET /win32/patcher.json")), 2);
    }

    void distribution_manifest_is_read_for_every_other_dist_data()
    {
        QTest::addColumn<QString>("dist");
        QTest::addColumn<QString>("dist_manifest");
        QTest::newRow("prod") << "prod" << QString();
        QTest::newRow("PROD is another dist") << "PROD"
                                              << "GET /dist/PROD/win64/patcher.json";
        QTest::newRow("qa") << "qa"
                            << "GET /dist/qa/win64/patcher.json";
    }

    void distribution_manifest_is_read_for_every_other_dist()
    {
        QFETCH(QString, dist);
        QFETCH(QString, dist_manifest);
        fixture.route("POST", "/login/", json_answer(accepted(dist)));
        LauncherWindow window;
        play(window);
        QVERIFY(QFile::exists(QStringLiteral("game-env.txt")));
        const QStringList paths = requested_paths();
        QCOMPARE(paths.filter(QStringLiteral("/dist/")).size(), dist_manifest.isEmpty() ? 0 : 1);
        if (!dist_manifest.isEmpty())
            QVERIFY(paths.contains(dist_manifest));
    }

    void version_labels_without_prompt_data()
    {
        QTest::addColumn<QJsonObject>("manifest");
        QTest::addColumn<QString>("server");
        QTest::addColumn<QString>("launcher");
        QTest::newRow("current") << QJsonObject {{"server-version", "2.1"},
                                                 {"launcher-version", "1.4.0"}}
                                 << "Server v2.1"
                                 << "Launcher v1.4.0";
        QTest::newRow("empty") << QJsonObject {{"server-version", ""}, {"launcher-version", ""}}
                               << TEXT_NOT_AVAILABLE << TEXT_NOT_AVAILABLE;
        QTest::newRow("missing") << QJsonObject {} << TEXT_NOT_AVAILABLE << TEXT_NOT_AVAILABLE;
    }

    void version_labels_without_prompt()
    {
        QFETCH(QJsonObject, manifest);
        QFETCH(QString, server);
        QFETCH(QString, launcher);
        fixture.route("GET", "/win32/patcher.json", json_answer(manifest));
        LauncherWindow window;
        auto *label = child<QLabel>(window, "label_launcher_version");
        QTRY_COMPARE(label->text(), launcher);
        QCOMPARE(child<QLabel>(window, "label_server_version")->text(), server);
        for (QWidget *widget : QApplication::topLevelWidgets())
            QVERIFY(!qobject_cast<QMessageBox *>(widget));
    }

    void failed_update_keeps_the_error_and_no_login_control()
    {
        const QJsonObject manifest {{"launcher-version", "1.4.0"},
                                    {"files",
                                     QJsonObject {{"data/a.bin",
                                                   QJsonObject {{"path", "data"},
                                                                {"hash", "abcdef0"},
                                                                {"patches", QJsonArray()}}}}}};
        fixture.route("GET", "/win32/patcher.json", json_answer(manifest));
        FixtureResponse page;
        page.body = "<html>no archive here</html>";
        fixture.route("GET", "/win32/data/a.bin.bz2", page);
        LauncherWindow window;
        window.show();
        play(window);
        auto *status = child<QLabel>(window, "label_status");
        QTRY_COMPARE(status->text(), QStringLiteral("-5: Couldn't extract archive: a.bin.bz2"));
        QTest::qWait(200);
        QCOMPARE(status->text(), QStringLiteral("-5: Couldn't extract archive: a.bin.bz2"));
        for (const char *name :
             {"push_button_play", "line_edit_username", "line_edit_password", "label_name_pass",
              "push_button_forgot_pw", "push_button_create_acct"})
            QVERIFY2(child<QWidget>(window, name)->isHidden(), name);
        QVERIFY(!child<QProgressBar>(window, "progress_bar")->isHidden());
        QVERIFY(!child<QPushButton>(window, "push_button_options")->isEnabled());
        QVERIFY(!QFile::exists(QStringLiteral("game-env.txt")));
    }

    void progress_sets_status_then_maximum_then_value()
    {
        LauncherWindow window;
        auto *bar = child<QProgressBar>(window, "progress_bar");
        auto *status = child<QLabel>(window, "label_status");
        QString status_seen;
        int maximum_seen = -2;
        connect(bar, &QProgressBar::valueChanged, this, [&] {
            status_seen = status->text();
            maximum_seen = bar->maximum();
        });
        QVERIFY(QMetaObject::invokeMethod(&window, "download_progress", Q_ARG(qint64, 300),
                                          Q_ARG(qint64, 1000),
                                          Q_ARG(QString, QStringLiteral("step"))));
        QCOMPARE(status_seen, QStringLiteral("step"));
        QCOMPARE(maximum_seen, 1000);
        QCOMPARE(bar->value(), 300);
    }

    void game_receives_the_session_environment_data()
    {
        QTest::addColumn<QString>("dist");
        QTest::addColumn<QString>("shown_dist");
        QTest::addColumn<bool>("dev");
        QTest::newRow("prod") << "prod"
                              << "PROD" << false;
        QTest::newRow("qa") << "qa"
                            << "QA" << true;
        QTest::newRow("Prod is not production") << "Prod"
                                                << "PROD" << true;
    }

    void game_receives_the_session_environment()
    {
        QFETCH(QString, dist);
        QFETCH(QString, shown_dist);
        QFETCH(bool, dev);
        fixture.route("POST", "/login/", json_answer(accepted(dist)));
        LauncherWindow window;
        window.show();
        play(window);
        const QMap<QString, QString> env = game_environment();
        QCOMPARE(env.value(QStringLiteral("ORVEX_PLAYCOOKIE")), QStringLiteral("cookie-1234"));
        QCOMPARE(env.value(QStringLiteral("ORVEX_GAMESERVER")), QStringLiteral("gs.example:7198"));
        QCOMPARE(env.value(QStringLiteral("ORVEX_DIST")), shown_dist);
        QCOMPARE(env.contains(QStringLiteral("ORVEX_DEV")), dev);
        if (dev)
            QCOMPARE(env.value(QStringLiteral("ORVEX_DEV")), QStringLiteral("YES"));
        // The flag went to the game only; the launcher's own environment is clean again.
        QVERIFY(!qEnvironmentVariableIsSet("ORVEX_DEV"));
        // Back on the login form, password emptied and focused.
        QVERIFY(window.isVisible());
        QCOMPARE(child<QLabel>(window, "label_status")->text(), TEXT_LOGIN);
        QVERIFY(child<QLineEdit>(window, "line_edit_password")->text().isEmpty());
        QCOMPARE(window.focusWidget(), child<QWidget>(window, "line_edit_password"));
        QVERIFY(child<QPushButton>(window, "push_button_options")->isEnabled());
        QVERIFY(child<QProgressBar>(window, "progress_bar")->isHidden());
    }

    void empty_game_server_is_absent_even_after_an_earlier_start()
    {
        LauncherWindow window;
        play(window);
        QVERIFY(game_environment().contains(QStringLiteral("ORVEX_GAMESERVER")));
        fixture.route("POST", "/login/", json_answer(accepted(QStringLiteral("prod"), QString())));
        play(window);
        const QMap<QString, QString> env = game_environment();
        QVERIFY(env.contains(QStringLiteral("ORVEX_PLAYCOOKIE")));
        QVERIFY(!env.contains(QStringLiteral("ORVEX_GAMESERVER")));
    }

    void manifest_exec_names_the_game()
    {
        write_game(QStringLiteral("start-orvex.sh"));
        QFile::remove(GAME_EXECUTABLE);
        fixture.route("GET", "/win32/patcher.json",
                      json_answer({{"launcher-version", "1.4.0"}, {"exec", "start-orvex.sh"}}));
        LauncherWindow window;
        play(window);
        QCOMPARE(game_environment().value(QStringLiteral("ORVEX_DIST")), QStringLiteral("PROD"));
    }

    void play_during_a_slow_startup_read_keeps_the_window_live()
    {
        // The start-up read is answered late, the one at play at once.
        std::atomic<int> manifest_reads {0};
        fixture.route("GET", "/win32/patcher.json", [&](const RecordedRequest &) {
            FixtureResponse answer =
                json_answer({{"server-version", "2.1"}, {"launcher-version", "1.4.0"}});
            if (manifest_reads++ == 0)
                answer.delay_before_headers_ms = 3000;
            return answer;
        });
        LauncherWindow window;
        auto *server = child<QLabel>(window, "label_server_version");
        int ticks_while_startup_read_pending = 0;
        QStringList labels_seen;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] {
            labels_seen << server->text();
            if (child<QLabel>(window, "label_status")->text() == TEXT_CHECKING_UPDATES) {
                QVERIFY(!child<QPushButton>(window, "push_button_options")->isEnabled());
                if (manifest_reads == 1)
                    ++ticks_while_startup_read_pending;
            }
        });
        ticker.start(20);
        play(window);
        ticker.stop();
        QVERIFY(QFile::exists(QStringLiteral("game-env.txt")));
        QVERIFY2(ticks_while_startup_read_pending > 0, "the GUI thread was blocked");
        QCOMPARE(server->text(), QStringLiteral("Server v2.1"));
        QCOMPARE(child<QLabel>(window, "label_launcher_version")->text(),
                 QStringLiteral("Launcher v1.4.0"));
        QVERIFY(!labels_seen.contains(TEXT_NOT_AVAILABLE));
        QCOMPARE(manifest_reads.load(), 2);
        fixture.route("GET", "/win32/patcher.json", not_found()); // the handler uses this frame
    }

    void distribution_name_that_is_no_host_label_builds_no_address_data()
    {
        QTest::addColumn<QString>("dist");
        QTest::newRow("path and query") << "evil.example/x?";
        QTest::newRow("user and port") << "user@evil.example:443/";
        QTest::newRow("dotted") << "qa.evil";
        QTest::newRow("escaped slash") << "qa%2f..";
        QTest::newRow("64 characters") << QString(64, QLatin1Char('q'));
        QTest::newRow("empty") << "";
    }

    void distribution_name_that_is_no_host_label_builds_no_address()
    {
        QFETCH(QString, dist);
        fixture.route("POST", "/login/", json_answer(accepted(dist)));
        LauncherWindow window;
        play(window);
        // The game still starts, with the name as the service sent it.
        const QMap<QString, QString> env = game_environment();
        QCOMPARE(env.value(QStringLiteral("ORVEX_PLAYCOOKIE")), QStringLiteral("cookie-1234"));
        QCOMPARE(env.value(QStringLiteral("ORVEX_DIST")), dist.toUpper());
        QCOMPARE(requested_paths().filter(QStringLiteral("/dist/")), QStringList());
        QCOMPARE(requested_paths().count(QStringLiteral("GET /win32/patcher.json")), 2);
    }

    void game_that_cannot_start_is_reported_data()
    {
        QTest::addColumn<QString>("exec");
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<int>("token_size");
        QTest::newRow("missing") << "orvex.exe" << QByteArray() << 0;
        QTest::newRow("only on PATH") << "orvex-on-path" << QByteArray() << 0;
        QTest::newRow("not a program") << "orvex.exe"
                                       << QByteArray("\x7f"
                                                     "ELF garbage")
                                       << 0;
        QTest::newRow("environment too large") << "orvex.exe" << QByteArray("keep") << 10;
    }

    void game_that_cannot_start_is_reported()
    {
        QFETCH(QString, exec);
        QFETCH(QByteArray, content);
        QFETCH(int, token_size);
        // A program of that name along PATH that would leave a mark if started.
        QTemporaryDir path_dir;
        const QString marker = path_dir.filePath(QStringLiteral("started"));
        QFile on_path(path_dir.filePath(exec));
        QVERIFY(on_path.open(QIODevice::WriteOnly));
        on_path.write(QStringLiteral("#!/bin/sh\ntouch '%1'\n").arg(marker).toUtf8());
        on_path.close();
        QVERIFY(on_path.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
        const ScopedVariable path("PATH", path_dir.path().toUtf8() + ':' + qgetenv("PATH"));

        QFile::remove(GAME_EXECUTABLE);
        if (content == "keep") {
            write_game(GAME_EXECUTABLE);
        } else if (!content.isEmpty()) {
            QFile game(GAME_EXECUTABLE);
            QVERIFY(game.open(QIODevice::WriteOnly));
            game.write(content);
            game.close();
            QVERIFY(game.setPermissions(QFile::ReadOwner | QFile::ExeOwner));
        }
        fixture.route("GET", "/win32/patcher.json",
                      json_answer({{"launcher-version", "1.4.0"}, {"exec", exec}}));
        if (token_size > 0)
            fixture.route(
                "POST", "/login/",
                json_answer(accepted(QStringLiteral("prod"), QStringLiteral("gs.example:7198"),
                                     QString(token_size << 20, QLatin1Char('t')))));
        LauncherWindow window;
        window.show();
        play(window);
        QCOMPARE(child<QLabel>(window, "label_status")->text(), TEXT_GAME_START_FAILED.arg(exec));
        QVERIFY(!QFile::exists(marker));
        QVERIFY(!QFile::exists(QStringLiteral("game-env.txt")));
        // Back on the login form.
        QVERIFY(window.isVisible());
        QVERIFY(!child<QLineEdit>(window, "line_edit_password")->isHidden());
        QVERIFY(child<QPushButton>(window, "push_button_play")->isEnabled());
        QVERIFY(child<QPushButton>(window, "push_button_options")->isEnabled());
    }

    void signed_manifests_decide_the_play_road_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::newRow("signed") << "";
        QTest::newRow("changed after signing") << "changed";
        QTest::newRow("signature of another key") << "other key";
        QTest::newRow("missing signature") << "missing";
        QTest::newRow("unsigned distribution manifest") << "unsigned dist";
    }

    // A launcher with a key uses a manifest only with a valid signature: a
    // refused one shows the error and installs, creates and starts nothing,
    // and its launcher version brings no prompt.
    void signed_manifests_decide_the_play_road()
    {
        QFETCH(QString, fault);
        const TestKeyPair key = make_test_key_pair(), other = make_test_key_pair();
        Updater::set_default_manifest_keys(key.public_pem);
        const QByteArray content = "new game data";
        const QJsonObject files {
            {"data/new.bin",
             QJsonObject {{"path", "data"},
                          {"hash", hash_text(content)},
                          {"sha256", QString(QCryptographicHash::hash(
                                                 content, QCryptographicHash::Sha256)
                                                 .toHex())},
                          {"patches", QJsonArray()}}}};
        const bool dist = fault == QLatin1String("unsigned dist");
        const QByteArray manifest =
            QJsonDocument(QJsonObject {{"launcher-version", "1.4.0"},
                                       {"server-version", "5.0"},
                                       {"sequence", 1},
                                       {"distribution", "prod"},
                                       {"files", dist ? QJsonObject() : files}})
                .toJson();
        FixtureResponse served = json_answer({}), signature, archive;
        served.body = manifest;
        if (fault == QLatin1String("changed"))
            served.body.replace("1.4.0", "9.4.0"); // one byte, and a version that would prompt
        signature.body =
            sign_ed25519((fault == QLatin1String("other key") ? other : key).private_pem, manifest);
        archive.body = bz2_compress(content);
        fixture.route("GET", "/win32/patcher.json", served);
        fixture.route("GET", "/win32/patcher.json.sig",
                      fault == QLatin1String("missing") ? not_found() : signature);
        fixture.route("GET", "/win32/data/new.bin.bz2", archive);
        if (dist) {
            fixture.route("POST", "/login/", json_answer(accepted(QStringLiteral("qa"))));
            fixture.route("GET", "/dist/qa/win64/patcher.json", json_answer({{"files", files}}));
            fixture.route("GET", "/dist/qa/win64/patcher.json.sig", not_found());
            fixture.route("GET", "/dist/qa/win64/data/new.bin.bz2", archive);
        }
        // The prompt would end the process: any message box is noted and closed first.
        QStringList boxes;
        QTimer watchdog;
        connect(&watchdog, &QTimer::timeout, this, [&] {
            for (QWidget *widget : QApplication::topLevelWidgets()) {
                auto *box = qobject_cast<QMessageBox *>(widget);
                if (box && box->isVisible()) {
                    boxes << box->text();
                    box->done(0);
                }
            }
        });
        watchdog.start(50);

        LauncherWindow window;
        window.show();
        play(window);
        auto *status = child<QLabel>(window, "label_status");
        if (fault.isEmpty()) {
            QTRY_VERIFY(QFile::exists(QStringLiteral("game-env.txt")));
            QCOMPARE(read_file("data/new.bin"), content);
            QCOMPARE(child<QLabel>(window, "label_launcher_version")->text(),
                     QStringLiteral("Launcher v1.4.0"));
            QCOMPARE(requested_paths().count(QStringLiteral("GET /win32/patcher.json.sig")), 2);
            return;
        }
        QTRY_COMPARE(status->text(), QStringLiteral("909: Manifest signature is not valid"));
        QCOMPARE(boxes, QStringList());
        QVERIFY(!QFile::exists(QStringLiteral("game-env.txt")));
        QVERIFY(!QFileInfo::exists(QStringLiteral("data")));
        QCOMPARE(requested_paths().filter(QStringLiteral(".bz2")), QStringList());
        QCOMPARE(child<QLabel>(window, "label_launcher_version")->text(),
                 dist ? QStringLiteral("Launcher v1.4.0") : TEXT_NOT_AVAILABLE);
    }

    void request_paths_use_the_system_proxy_data()
    {
        QTest::addColumn<QString>("request");
        QTest::newRow("login") << "login";
        QTest::newRow("news") << "news";
        QTest::newRow("manifest") << "manifest";
    }

    void request_paths_use_the_system_proxy()
    {
        QFETCH(QString, request);
        ConnectProxy proxy;
        const quint16 proxy_port = proxy.start();
        QVERIFY(proxy_port != 0);
        // Qt never hands a loopback address to a proxy, so the fixture goes by a
        // name that only the proxy knows; it tunnels to 127.0.0.1. The exchange
        // itself then fails on the certificate's name, after the CONNECT.
        const QString host = QStringLiteral("orvex-fixture.test:%1").arg(fixture.port());
        const QString base = QStringLiteral("https://") + host;
        {
            const ScopedVariable https_proxy(
                "https_proxy", QByteArray("http://127.0.0.1:") + QByteArray::number(proxy_port));
            const ScopedVariable no_proxy("no_proxy", QByteArray());
            // As on a Qt build that starts without the system configuration.
            QNetworkProxyFactory::setUseSystemConfiguration(false);
            if (request == QLatin1String("login")) {
                LoginClient(QUrl(base + QStringLiteral("/login/")))
                    .login(QStringLiteral("mariner"), QStringLiteral("salt"), QString());
            } else if (request == QLatin1String("news")) {
                NewsDisplay(QUrl(base + QStringLiteral("/launcher/"))).fetch_news();
            } else {
                Updater(QUrl(base + QStringLiteral("/win32/"))).read_manifest(false, MANIFEST_NAME);
            }
        }
        QCOMPARE(proxy.targets(), QStringList {host});
    }
};

QTEST_MAIN(TestRoad)
#include "tst_road.moc"
