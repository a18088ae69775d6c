#include "platform/program_start.h"
#include "support/test_files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
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
};

QTEST_GUILESS_MAIN(TestPlatform)
#include "tst_platform.moc"
