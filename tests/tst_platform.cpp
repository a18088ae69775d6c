#include "platform/program_start.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

namespace {

void write_file(const QString &path, const QByteArray &content)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
}

} // namespace

class TestPlatform : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir work;
    QString app_dir;

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        QVERIFY(QDir::setCurrent(work.path()));
        app_dir = QCoreApplication::applicationDirPath();
    }

    void bare_name_resolution_data()
    {
        QTest::addColumn<bool>("beside_launcher");
        QTest::addColumn<bool>("in_working_dir");
        QTest::addColumn<QString>("expected_folder"); // "app", "work" or "" (left bare)
        QTest::newRow("launcher folder wins") << true << true << "app";
        QTest::newRow("working dir second") << false << true << "work";
        QTest::newRow("nowhere stays bare") << false << false << "";
    }
    void bare_name_resolution()
    {
        QFETCH(bool, beside_launcher);
        QFETCH(bool, in_working_dir);
        QFETCH(QString, expected_folder);
        const QString name = QStringLiteral("tst_platform_probe.exe");
        const QString app_copy = QDir(app_dir).absoluteFilePath(name);
        const QString work_copy = QDir::current().absoluteFilePath(name);
        QFile::remove(app_copy);
        QFile::remove(work_copy);
        if (beside_launcher)
            write_file(app_copy, "x");
        if (in_working_dir)
            write_file(work_copy, "x");
        const QString resolved = ::resolve_program(name);
        QFile::remove(app_copy);
        QFile::remove(work_copy);
        QCOMPARE(resolved,
                 expected_folder == "app"        ? app_copy
                     : expected_folder == "work" ? work_copy
                                                 : name);
    }

    void name_with_directory_part_is_used_as_is()
    {
        QVERIFY(QDir().mkpath("sub"));
        write_file("sub/tool.exe", "x");
        QCOMPARE(::resolve_program("sub/tool.exe"), QStringLiteral("sub/tool.exe"));
    }

    void owner_execute_bit_is_added_once_missing()
    {
        write_file("game.exe", "x");
        QFile::setPermissions("game.exe", QFileDevice::ReadOwner | QFileDevice::WriteOwner);
        QVERIFY(ensure_owner_executable("game.exe"));
        QVERIFY(QFile::permissions("game.exe") & QFileDevice::ExeOwner);
        QVERIFY(!ensure_owner_executable("missing.exe"));
    }

    void start_program_runs_bare_name_in_working_dir()
    {
        write_file("echo_args.exe", "#!/bin/sh\nprintf '%s\\n' \"$@\" > args.txt\n");
        QVERIFY(ensure_owner_executable("echo_args.exe"));
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
