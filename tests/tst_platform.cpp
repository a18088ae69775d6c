#include "platform/program_start.h"
#include "support/test_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

class TestPlatform : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir work;

private slots:
    void initTestCase() { QVERIFY(QDir::setCurrent(work.path())); }

    void bare_name_prefers_launcher_folder_then_working_dir()
    {
        const QString name = "tst_platform_probe.exe";
        const QString beside = QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(name);
        QCOMPARE(resolve_program(name), name);
        QVERIFY(write_file(name, "x"));
        QCOMPARE(resolve_program(name), QDir::current().absoluteFilePath(name));
        QVERIFY(write_file(beside, "x"));
        const QString resolved = resolve_program(name);
        QFile::remove(beside);
        QCOMPARE(resolved, beside);
        QCOMPARE(resolve_program("./" + name), "./" + name); // directory part: as it is
    }

    void start_program_runs_bare_name_with_arguments()
    {
        QVERIFY(write_file("echo_args.exe", "#!/bin/sh\nprintf '%s\\n' \"$@\" > args.txt\n"));
        QVERIFY(!(QFile::permissions("echo_args.exe") & QFileDevice::ExeOwner));
        QVERIFY(ensure_owner_executable("echo_args.exe"));
        QVERIFY(!ensure_owner_executable("missing.exe"));
        QProcess process;
        start_program(process, "echo_args.exe", {"patch name", "target"});
        QVERIFY(process.waitForFinished(-1));
        QCOMPARE(process.openMode(), QIODevice::ReadWrite);
        QFile args("args.txt");
        QVERIFY(args.open(QIODevice::ReadOnly));
        QCOMPARE(args.readAll(), QByteArray("patch name\ntarget\n"));
    }

    // Only the game folder is looked in: a file of the name beside the
    // launcher, in the working directory or along PATH is not the game.
    void local_program_only_from_the_game_folder()
    {
        const QString beside_dir = QCoreApplication::applicationDirPath();
        const QString game = QDir::current().absoluteFilePath("game");
        QVERIFY(QDir().mkpath("game/sub"));
        QVERIFY(write_file("game/here.exe", "x"));
        QVERIFY(write_file("game/sub/deep.exe", "x"));
        QVERIFY(QDir().mkpath("game/folder.exe"));
        QVERIFY(write_file("outside.exe", "x"));
        QVERIFY(write_file(beside_dir + "/tst_platform_beside.exe", "x"));
        const QString beside = find_local_program(game, "tst_platform_beside.exe");
        QFile::remove(beside_dir + "/tst_platform_beside.exe");

        QCOMPARE(beside, QString());
        QCOMPARE(find_local_program(game, "here.exe"), game + "/here.exe");
        QCOMPARE(find_local_program(game, "sub/deep.exe"), game + "/sub/deep.exe");
        QCOMPARE(find_local_program(game, "./here.exe"), game + "/here.exe");
        // In the working directory only, along PATH only, missing, or a
        // folder: nothing to start.
        QCOMPARE(find_local_program(game, "outside.exe"), QString());
        QVERIFY(!QStandardPaths::findExecutable("sh").isEmpty());
        QCOMPARE(find_local_program(game, "sh"), QString());
        QCOMPARE(find_local_program(game, "missing.exe"), QString());
        QCOMPARE(find_local_program(game, "folder.exe"), QString());
        QCOMPARE(find_local_program(game, ""), QString());
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
