// The files room alone: folders walked segment by segment, entries created,
// reused, replaced and removed relative to them, on every system the
// launcher runs on, with the names players have (non-ASCII, long paths).
#include "files/free_space.h"
#include "files/open_folder.h"
#include "files/safe_file.h"
#include "support/test_files.h"

#include "atomic_file.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {

// A folder path below the working directory whose full path passes the
// 260 characters older Windows programs are limited to.
QString long_folder()
{
    QStringList segments;
    for (int i = 0; i < 12; ++i)
        segments << QStringLiteral("segment-%1-of-a-long-path").arg(i, 2, 10, QLatin1Char('0'));
    return segments.join(QLatin1Char('/'));
}

bool write_all(QFile &file, const QByteArray &bytes)
{
    return safe_file::write_all(file, bytes.constData(), bytes.size());
}

} // namespace

class TestFiles : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir work;

private slots:
    void initTestCase()
    {
        QVERIFY(work.isValid());
        QVERIFY(QDir::setCurrent(work.path()));
    }

    void entries_live_in_any_folder_a_player_has_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("plain") << QStringLiteral("data/maps");
        QTest::newRow("non-ASCII") << QStringLiteral(u"Spiele/Örvex ünïcødé/数据");
        QTest::newRow("longer than 260 characters") << long_folder();
    }

    // Create, rewrite in place, replace atomically, look at and remove a file
    // in a folder the walk made: every step through the open folder.
    void entries_live_in_any_folder_a_player_has()
    {
        QFETCH(QString, folder);
        OpenFolder::Status status;
        const OpenFolder missing = OpenFolder::open(folder, false, status);
        QCOMPARE(status, OpenFolder::Status::Missing);
        QVERIFY(!missing.is_open());
        const OpenFolder open = OpenFolder::open(folder, true, status);
        QCOMPARE(status, OpenFolder::Status::Open);
        QVERIFY(open.is_open());
        QVERIFY(free_space(folder) > 0);

        const QString name = QStringLiteral(u"größe.dat");
        std::unique_ptr<QFile> file = open.create_new(name);
        QVERIFY(file);
        QVERIFY(write_all(*file, "first version"));
        file.reset();
        OpenFolder::EntryInfo info = open.entry_info(name);
        QVERIFY(info.exists && info.is_regular && !info.is_link);
        QCOMPARE(info.size, qint64(13));
        QVERIFY(info.identity_known);
        QVERIFY(info.mtime_ns > 0);

        file = open.reuse_or_create(name);
        QVERIFY(file);
        QVERIFY(write_all(*file, "second"));
        file.reset();
        QCOMPARE(read_file(folder + QLatin1Char('/') + name), QByteArray("second"));
        QCOMPARE(open.entry_info(name).inode, info.inode); // rewritten in place

        file = open.create_new(name + ".part");
        QVERIFY(file);
        QVERIFY(write_all(*file, "third"));
        file.reset();
        QVERIFY(open.replace(name + ".part", name));
        QCOMPARE(read_file(folder + QLatin1Char('/') + name), QByteArray("third"));
        QVERIFY(!open.entry_info(name + ".part").exists);

        // The path-based helpers reach the same file.
        const QString path = folder + QLatin1Char('/') + name;
        QCOMPARE(safe_file::plain_file_size(path), qint64(5));
        QVERIFY(safe_file::is_plain_directory(folder));
        file = safe_file::open_for_append(path);
        QVERIFY(file);
        QVERIFY(write_all(*file, "+4"));
        file.reset();
        QCOMPARE(read_file(path), QByteArray("third+4"));
        QString error;
        QVERIFY2(atomic_file::write(path, "whole", &error), qPrintable(error));
        QCOMPARE(read_file(path), QByteArray("whole"));

        QVERIFY(open.remove_entry(name));
        QVERIFY(!safe_file::entry_exists(path));
        QVERIFY(open.remove_entry(name)); // nothing there: done already
        QString leaf;
        const OpenFolder parent = OpenFolder::open_parent(path, leaf, status);
        QCOMPARE(status, OpenFolder::Status::Open);
        QCOMPARE(leaf, name);
        QVERIFY(parent.create_new(leaf));
        QVERIFY(safe_file::remove_entry(path));
    }

    void a_file_is_no_folder()
    {

        QVERIFY(write_file("plain.txt", "x"));
        OpenFolder::Status status;
        QVERIFY(!OpenFolder::open("plain.txt/below", true, status).is_open());
        QCOMPARE(status, OpenFolder::Status::Missing);
        QCOMPARE(safe_file::plain_file_size("plain.txt/below"), qint64(-1));
        QCOMPARE(free_space("missing/below"), qint64(-1));
        QVERIFY(!safe_file::is_plain_directory("plain.txt"));
    }

    // Links: the player's own folder link is followed; a link planted at a
    // file's name is replaced, never written through.
    void links_are_judged_not_followed_blindly()
    {
#ifdef Q_OS_WIN
        QSKIP("Symbolic links need a privilege Wine and most players lack; the owner of a "
              "reparse point cannot be shown under Wine");
#else
        QVERIFY(QDir().mkpath("elsewhere/data"));
        QVERIFY(write_file("elsewhere/data/kept.dat", "target"));
        QVERIFY(QFile::link(QDir::current().absoluteFilePath("elsewhere/data"), "linked"));
        OpenFolder::Status status;
        const OpenFolder through = OpenFolder::open("linked", false, status);
        QCOMPARE(status, OpenFolder::Status::Open);
        QVERIFY(through.entry_info("kept.dat").is_regular);

        QVERIFY(QFile::link(QDir::current().absoluteFilePath("elsewhere/data/kept.dat"),
                            "planted.dat"));
        const OpenFolder here = OpenFolder::open(QString(), false, status);
        const OpenFolder::EntryInfo planted = here.entry_info("planted.dat");
        QVERIFY(planted.is_link && planted.trusted_link && !planted.is_regular);
        std::unique_ptr<QFile> file = here.create_new("planted.dat");
        QVERIFY(file);
        QVERIFY(write_all(*file, "new"));
        file.reset();
        QCOMPARE(read_file("elsewhere/data/kept.dat"), QByteArray("target"));
        QVERIFY(QFile::link(QDir::current().absoluteFilePath("elsewhere/data/kept.dat"),
                            "planted2.dat"));
        QVERIFY(atomic_file::write("planted2.dat", "replaced"));
        QCOMPARE(read_file("elsewhere/data/kept.dat"), QByteArray("target"));
        QVERIFY(here.entry_info("planted2.dat").is_regular);
#endif
    }
};

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"
