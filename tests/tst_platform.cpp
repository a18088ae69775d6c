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

    void local_program_is_never_looked_for_along_path()
    {
        const QString beside_dir = QCoreApplication::applicationDirPath();
        QVERIFY(write_file("here.exe", "x"));
        QVERIFY(QDir().mkpath("sub"));
        QVERIFY(write_file("sub/deep.exe", "x"));
        QVERIFY(QDir().mkpath("folder.exe"));
        QVERIFY(write_file(beside_dir + "/tst_platform_beside.exe", "x"));
        QVERIFY(write_file("tst_platform_beside.exe", "x"));
        const QString beside = find_local_program("tst_platform_beside.exe");
        QFile::remove(beside_dir + "/tst_platform_beside.exe");

        QCOMPARE(beside, beside_dir + "/tst_platform_beside.exe");
        QCOMPARE(find_local_program("here.exe"), QDir::current().absoluteFilePath("here.exe"));
        QCOMPARE(find_local_program("sub/deep.exe"),
                 QDir::current().absoluteFilePath("sub/deep.exe"));
        QCOMPARE(find_local_program("./here.exe"), QDir::current().absoluteFilePath("here.exe"));
        // Found only along PATH, missing, or a folder: nothing to start.
        QVERIFY(!QStandardPaths::findExecutable("sh").isEmpty());
        QCOMPARE(find_local_program("sh"), QString());
        QCOMPARE(find_local_program("missing.exe"), QString());
        QCOMPARE(find_local_program("folder.exe"), QString());
        QCOMPARE(find_local_program(""), QString());
    }
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
