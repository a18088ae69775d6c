// The files room alone: folders walked segment by segment, entries created,
// reused, replaced and removed relative to them, on every system the
// launcher runs on, with the names players have (non-ASCII, long paths).
#include "files/file_identity.h"
#include "files/free_space.h"
#include "files/game_folder.h"
#include "files/open_folder.h"
#include "files/safe_file.h"
#include "files/scratch_area.h"
#ifdef Q_OS_WIN
#include "files/short_path.h"
#endif
#include "support/test_files.h"
#include "support/test_paths.h"

#include "atomic_file.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <memory>
#include <thread>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <unistd.h>
#endif

Q_DECLARE_METATYPE(OpenFolder::Status)

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
        QCOMPARE(info.identity.size, qint64(13));
        QVERIFY(info.identity.mtime_ns > 0);

        file = open.reuse_or_create(name);
        QVERIFY(file);
        QVERIFY(write_all(*file, "second"));
        file.reset();
        QCOMPARE(read_file(folder + QLatin1Char('/') + name), QByteArray("second"));
        QCOMPARE(open.entry_info(name).identity.inode, info.identity.inode); // rewritten in place

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

    // The check made before a file's request answers as creating the file
    // would (-1: as the user's rights say; the root user writes anywhere).
    void can_create_decides_as_creating_does_data()
    {
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("expected");
        QTest::newRow("plain folder") << "plain" << 1;
        QTest::newRow("a file at the name") << "file" << 1;
        QTest::newRow("a link at the name") << "link" << 1;
        QTest::newRow("a folder at the name") << "folder" << 0;
        QTest::newRow("read-only folder") << "read-only" << -1;
        QTest::newRow("folder removed while open") << "removed" << 0;
    }
    void can_create_decides_as_creating_does()
    {
        QFETCH(QString, setup);
        QFETCH(int, expected);
#ifdef Q_OS_WIN
        if (setup == "read-only" || setup == "removed")
            QSKIP("Windows keeps an open folder and has no folder permission bits");
#endif
        const QString folder = "can-create/" + setup;
        const QString name = ".file.dat.saltmarch-new";
        const QString path = folder + "/" + name;
        OpenFolder::Status status;
        const OpenFolder open = OpenFolder::open(folder, true, status);
        QVERIFY(open.is_open());
        const QString elsewhere = "can-create/elsewhere-" + setup;
        QVERIFY(write_file(elsewhere, "kept"));
        if (setup == "file")
            QVERIFY(write_file(path, "old"));
        if (setup == "link")
            QVERIFY(QFile::link(QDir(work.path()).filePath(elsewhere), path));
        if (setup == "folder")
            QVERIFY(QDir().mkpath(path));
        if (setup == "read-only")
            QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
        if (setup == "removed")
            QVERIFY(QDir().rmdir(folder));

        const bool answer = open.can_create(name);
        if (setup == "plain")
            QVERIFY(!open.entry_info(name).exists);
        std::unique_ptr<QFile> created = open.create_new(name);
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QCOMPARE(answer, bool(created));
        if (expected >= 0)
            QCOMPARE(answer, expected == 1);
        if (created) {
            QVERIFY(write_all(*created, "new"));
            created.reset();
            QCOMPARE(read_file(path), QByteArray("new"));
        }
        // Nothing is made by asking, and a link in the way is never followed.
        QCOMPARE(read_file(elsewhere), QByteArray("kept"));
    }

    // The extraction's thread gets a folder of its own, still open when the
    // walk that found it has moved on.
    void a_duplicate_outlives_its_original()
    {
        OpenFolder::Status status;
        OpenFolder copy;
        {
            const OpenFolder open = OpenFolder::open("duplicate/inner", true, status);
            QVERIFY(open.is_open());
            copy = open.duplicate();
        }
        QVERIFY(copy.is_open());
        std::unique_ptr<QFile> file = copy.create_new("made.dat");
        QVERIFY(file);
        QVERIFY(write_all(*file, "x"));
        file.reset();
        QCOMPARE(read_file("duplicate/inner/made.dat"), QByteArray("x"));
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
    // A file is written over in place only when it is this user's own and
    // has one name: one with a second name, or of another owner, is
    // replaced by a new file and the other name keeps its bytes.
    void rewritten_in_place_only_when_own_and_single_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<bool>("in_place");
        QTest::newRow("own, one name") << "own" << true;
        QTest::newRow("second name") << "hard link" << false;
        QTest::newRow("another owner") << "foreign" << false;
    }
    void rewritten_in_place_only_when_own_and_single()
    {
        QFETCH(QString, kind);
        QFETCH(bool, in_place);
        QVERIFY(write_file("kept.dat", "old"));
#ifdef Q_OS_WIN
        if (kind == "foreign")
            QSKIP("a file of another owner cannot be made under Wine");
        if (kind == "hard link")
            QVERIFY(CreateHardLinkW(L"second.dat", L"kept.dat", nullptr));
#else
        if (kind == "foreign" && (::geteuid() != 0 || ::chown("kept.dat", 65534, 65534) != 0))
            QSKIP("needs root to give the file another owner");
        if (kind == "hard link")
            QVERIFY(::link("kept.dat", "second.dat") == 0);
#endif
        OpenFolder::Status status;
        const OpenFolder here = OpenFolder::open(QString(), false, status);
        const FileIdentity before = here.entry_info("kept.dat").identity;
        std::unique_ptr<QFile> file = here.reuse_or_create("kept.dat");
        QVERIFY(file);
        QVERIFY(write_all(*file, "new"));
        file.reset();
        QCOMPARE(read_file("kept.dat"), QByteArray("new"));
        const quint64 inode = here.entry_info("kept.dat").identity.inode;
        if (in_place) {
            QCOMPARE(inode, before.inode);
        } else if (kind == "hard link") {
            QVERIFY(inode != before.inode);
            QCOMPARE(read_file("second.dat"), QByteArray("old"));
            QVERIFY(QFile::remove("second.dat"));
        } else {
#ifndef Q_OS_WIN
            // A new file, now this user's (its number may be the old one's).
            QCOMPARE(QFileInfo("kept.dat").ownerId(), uint(::geteuid()));
#endif
        }
        QVERIFY(QFile::remove("kept.dat"));
    }

    // A program with the launcher's entry, copied into a game folder of
    // non-ASCII (and long) name and started from another folder with a
    // non-ASCII argument: the argument arrives whole, and the game folder
    // is where the launcher program lies on Windows (the working directory
    // made it too, in its short form when long), the working directory
    // elsewhere.
    void entry_takes_wide_arguments_and_the_launcher_folder_data()
    {
        QTest::addColumn<QString>("folder");
        QTest::newRow("non-ASCII") << QStringLiteral(u"Spiele/Örvex ünïcødé/数据");
#ifndef Q_OS_WIN
        // Wine's process start inside a Windows program finds no program in
        // a folder this long, not even by its short form (the same start
        // from outside Wine works): the long folder's road is shown by
        // tst_wine_road.
        QTest::newRow("non-ASCII, longer than 260 characters")
            << QStringLiteral(u"Spiele/Örvex/") + long_folder();
#endif
    }
    void entry_takes_wide_arguments_and_the_launcher_folder()
    {
        QFETCH(QString, folder);
        const QString game = QDir::current().absoluteFilePath(folder);
        QVERIFY(QDir().mkpath(game) && QDir().mkpath("elsewhere"));
#ifdef Q_OS_WIN
        const QString program = game + "/entry_probe.exe";
        QVERIFY(QFile::copy(bin_dir() + "/entry_probe.exe", program));
#else
        const QString program = game + "/entry_probe";
        QVERIFY(QFile::copy(bin_dir() + "/entry_probe", program));
        QVERIFY(QFile::setPermissions(program, QFile::permissions(program) | QFile::ExeOwner));
#endif
        const QString report = QDir::current().absoluteFilePath("report.txt");
        const QString argument = QStringLiteral(u"Kaldvík Ørnebrú 数据 «x y»");
        QProcess probe;
        // The DLLs of the build stay where they are.
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("PATH", QDir::toNativeSeparators(bin_dir()) + QDir::listSeparator() +
                                       environment.value("PATH"));
        probe.setProcessEnvironment(environment);
        probe.setWorkingDirectory(QDir::current().absoluteFilePath("elsewhere"));
#ifdef Q_OS_WIN
        // The system starts no program by a path of 260 characters or more:
        // a long folder's program is started by its short form, as the
        // launcher starts the game.
        probe.start(short_path::usable(program), {report, argument});
#else
        probe.start(program, {report, argument});
#endif
        QVERIFY2(probe.waitForFinished(120000),
                 qPrintable(probe.program() + ": " + probe.errorString()));
        QCOMPARE(probe.exitCode(), 3);
        const QStringList lines = QString::fromUtf8(read_file(report)).split('\n');
        QVERIFY(lines.size() >= 4);
        QCOMPARE(lines.at(1), argument);
#ifdef Q_OS_WIN
        // The program's folder, in the form it was started by, and the
        // working directory made it: both lead to the marker there.
        QVERIFY(write_file(game + "/marker.txt", "here"));
        QCOMPARE(read_file(lines.at(2) + "/marker.txt"), QByteArray("here"));
        QCOMPARE(read_file(lines.at(3) + "/marker.txt"), QByteArray("here"));
#else
        QCOMPARE(lines.at(2), QDir::current().absoluteFilePath("elsewhere"));
#endif
        QVERIFY(QFile::remove(report));
    }

    // Each game folder has a scratch area of its own, and every name given
    // to one is taken below its own folder, never the working directory's.
    void game_folders_keep_to_themselves()
    {
        QTemporaryDir first_dir;
        QTemporaryDir second_dir;
        const GameFolder first(first_dir.path());
        const GameFolder second(second_dir.path());
        const ScratchArea mine = first.scratch();
        const ScratchArea theirs = second.scratch();
        QVERIFY(mine.folder() != theirs.folder());
        QVERIFY(mine.ensure() && theirs.ensure());
        QVERIFY(!QFileInfo::exists(GameFolder(QDir::currentPath()).scratch().folder()));

        QVERIFY(mine.write_note({"game.dat", "hash", "url", "\"v1\""}));
        QVERIFY(write_file(mine.partial_archive_path("game.dat"), "part"));
        QVERIFY(!theirs.has_note("game.dat"));
        theirs.drop_partial("game.dat");
        theirs.sweep({}, {"game.dat"});
        theirs.remove_if_empty();
        ScratchArea::PartialNote note;
        QVERIFY(mine.read_note("game.dat", note) && note.validator == "\"v1\"");
        QCOMPARE(read_file(mine.partial_archive_path("game.dat")), QByteArray("part"));
        QVERIFY(!QFileInfo::exists(theirs.folder()));

        // The extraction leftover beside a target of the first folder goes
        // with its own sweep, and only there.
        QVERIFY(QDir(first.path()).mkpath("data") && QDir().mkpath("data"));
        const QString leftover = "data/" + ScratchArea::extraction_name("level.pak");
        QVERIFY(write_file(first.file_path(leftover), "half") && write_file(leftover, "cwd"));
        mine.sweep({"game.dat"}, {"data/level.pak"});
        QVERIFY(!QFileInfo::exists(first.file_path(leftover)));
        QCOMPARE(read_file(leftover), QByteArray("cwd"));
        QVERIFY(mine.has_note("game.dat"));
    }

    void game_folder_walks_below_its_own_path_data()
    {
        QTest::addColumn<QString>("root"); // below the test's own folder
        QTest::addColumn<QString>("file");
        QTest::addColumn<OpenFolder::Status>("status");
        QTest::addColumn<bool>("found");
        QTest::newRow("a file in a folder") << "game"
                                            << "data/kept.dat" << OpenFolder::Status::Open << true;
        QTest::newRow("a file at the top") << "game"
                                           << "top.dat" << OpenFolder::Status::Open << true;
        QTest::newRow("a folder that is not there")
            << "game"
            << "none/kept.dat" << OpenFolder::Status::Missing << false;
        QTest::newRow("a game folder that is not there: nothing of the working directory")
            << "gone"
            << "data/kept.dat" << OpenFolder::Status::Missing << false;
    }

    void game_folder_walks_below_its_own_path()
    {
        QFETCH(QString, root);
        QFETCH(QString, file);
        QFETCH(OpenFolder::Status, status);
        QFETCH(bool, found);
        QTemporaryDir place;
        QVERIFY(QDir(place.path()).mkpath("game/data") && QDir().mkpath("data"));
        QVERIFY(write_file(place.filePath("game/data/kept.dat"), "game"));
        QVERIFY(write_file(place.filePath("game/top.dat"), "game"));
        QVERIFY(write_file("data/kept.dat", "working directory") && write_file("top.dat", "wd"));

        const GameFolder game(place.filePath(root));
        QString leaf;
        OpenFolder::Status walked;
        const OpenFolder folder = game.open_parent(file, leaf, walked);
        QCOMPARE(walked, status);
        QCOMPARE(folder.is_open(), found);
        if (found) {
            QCOMPARE(folder.entry_info(leaf).identity.size, qint64(4));
            std::unique_ptr<QFile> read = folder.open_for_reading(leaf, walked);
            QVERIFY(read && read->readAll() == "game");
        }
    }

    void file_identity_tells_the_same_file_data()
    {
        QTest::addColumn<QString>("change");
        QTest::addColumn<bool>("same");
        QTest::newRow("untouched") << "" << true;
        QTest::newRow("read through a link to it") << "link" << true;
        QTest::newRow("rewritten with other bytes") << "rewritten" << false;
        QTest::newRow("replaced by a file of the same bytes") << "replaced" << false;
    }

    // What the verification cache trusts: a file whose identity is unchanged
    // has not been written since.
    void file_identity_tells_the_same_file()
    {
        QFETCH(QString, change);
        QFETCH(bool, same);
        QVERIFY(write_file("identity.dat", "original"));
        FileIdentity before;
        QVERIFY(FileIdentity::of_path("identity.dat", before));
        QString looked_at = "identity.dat";
        if (change == "link") {
#ifdef Q_OS_WIN
            QSKIP("POSIX links");
#endif
            QFile::remove("identity-link.dat");
            QVERIFY(
                QFile::link(QDir::current().absoluteFilePath("identity.dat"), "identity-link.dat"));
            looked_at = "identity-link.dat";
        } else if (change == "rewritten") {
            QVERIFY(write_file("identity.dat", "changed!!"));
        } else if (change == "replaced") {
            QVERIFY(atomic_file::write("identity.dat", "original"));
        }
        FileIdentity after;
        QFile opened(looked_at);
        QVERIFY(opened.open(QIODevice::ReadOnly) && FileIdentity::of_open(opened, after));
        QCOMPARE(after.same_file(before), same);
        QVERIFY(!FileIdentity::of_path("no-such.dat", after));
        QVERIFY(!FileIdentity::of_path(QDir::currentPath(), after)); // a folder is no file
    }

    // A thread plants links to an outside file again and again at the names
    // of a new file and of a partial archive while they are created, reused
    // and appended to: whichever call meets a link, the outside file never
    // changes.
    void links_planted_in_a_race_are_never_followed()
    {
#ifdef Q_OS_WIN
        QSKIP("POSIX links; the Windows walk is shown by the cases above");
#else
        QTemporaryDir outside;
        const QString victim = outside.filePath("victim");
        QVERIFY(write_file(victim, "precious"));
        const ScratchArea scratch = GameFolder(QDir::currentPath()).scratch();
        QVERIFY(scratch.ensure());
        const QByteArray fresh = QFile::encodeName(ScratchArea::extraction_name("game.dat"));
        const QByteArray partial = QFile::encodeName(scratch.partial_archive_path("game.dat"));
        const QByteArray target = QFile::encodeName(victim);
        std::atomic<bool> stop {false};
        std::thread planter([&] {
            while (!stop) {
                for (const QByteArray &name : {fresh, partial}) {
                    ::unlink(name.constData());
                    const int planted = ::symlink(target.constData(), name.constData());
                    Q_UNUSED(planted)
                }
            }
        });
        const OpenFolder here;
        OpenFolder::Status status;
        const OpenFolder in_scratch = OpenFolder::open(scratch.folder(), false, status);
        const QString partial_name = QFileInfo(QString::fromUtf8(partial)).fileName();
        int written = 0;
        auto write = [&written](std::unique_ptr<QFile> file) {
            if (file && file->write("bytes of ours") > 0)
                ++written;
        };
        for (int i = 0; i < 3000; ++i) {
            write(here.create_new(QString::fromUtf8(fresh)));
            write(here.reuse_or_create(QString::fromUtf8(fresh)));
            write(safe_file::create_new(QString::fromUtf8(partial)));
            write(safe_file::open_for_append(QString::fromUtf8(partial)));
            write(in_scratch.reuse_or_create(partial_name));
        }
        stop = true;
        planter.join();
        QVERIFY(written > 0);
        QCOMPARE(read_file(victim), QByteArray("precious"));
#endif
    }
};

QTEST_GUILESS_MAIN(TestFiles)
#include "tst_files.moc"
