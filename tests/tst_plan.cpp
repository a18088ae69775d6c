#include "files/file_identity.h"
#include "patch_name.h"
#include "support/scratch_here.h"
#include "support/test_files.h"
#include "updater/disk_need.h"
#include "updater/file_hasher.h"
#include "updater/manifest_reader.h"
#include "updater/plan_builder.h"
#include "updater/verify_cache.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Hash text number n ("1111111" for 1); 0 is the hash text of a missing file.
QString h(int n)
{
    return n ? QString(7, QChar('0' + n)) : QString();
}

// Plans from H<local> to H3 over patches written "12" (from H1 to H2); the
// chain comes back in the same notation.
QStringList plan(const QJsonArray &patches, int local = 1)
{
    QQueue<PatchStep> chain;
    PlanBuilder::plan_patch_chain(chain, h(local), h(3), patches);
    QStringList codes;
    for (const PatchStep &step : chain) {
        PatchName parsed;
        PatchName::parse(step.patch_name, parsed);
        codes << parsed.source_hash.left(1) + step.result_hash.left(1);
    }
    return codes;
}

QJsonArray patches(const QStringList &codes)
{
    QJsonArray array;
    for (const QString &code : codes)
        array.append(PatchName::compose("f", h(code[0].digitValue()), h(code[1].digitValue())));
    return array;
}

QStringList queued(const UpdatePlan &planned)
{
    QStringList records;
    for (const FileRecord &record : planned.files)
        records << QString("%1@%2 %3 %4")
                       .arg(record.name, record.base_url.host(), record.local_hash)
                       .arg(record.patch_chain.size());
    return records;
}

bool set_mtime_ns(const char *path, qint64 ns)
{
    const timespec times[2] {{0, UTIME_OMIT},
                             {time_t(ns / 1'000'000'000), long(ns % 1'000'000'000)}};
    return ::utimensat(AT_FDCWD, path, times, 0) == 0;
}

const QUrl A("https://a.example/");
const QUrl B("https://b.example/");

// A digest text as the verification cache keeps them.
const QString DIGEST = QString("abcdef1") + QString(57, '0');

// The digest text the cache gives for `name` when `now` shows its file unchanged.
bool reusable_digest(const VerifyCache &cache, const QString &name, const VerifyCache::Entry &now,
                     QString &digest)
{
    const int index = cache.find(name);
    if (index < 0 || !cache.reusable_at(index, now))
        return false;
    digest = cache.digest_at(index);
    return true;
}

} // namespace

class TestPlan : public QObject
{
    Q_OBJECT

private:
    // Every case runs in root/work, beside a link back to root: anything that
    // escapes the working directory lands in root. The link belongs to
    // another user when the test can make it so (as root): a link of the
    // player's own would be followed.
    std::unique_ptr<QTemporaryDir> root;
    bool foreign_link = false;

    void need_foreign_link(const QString &name)
    {
        if (name.contains("link") && !foreign_link)
            QSKIP("needs root to give the link another owner");
    }

private slots:
    void init()
    {
        root = std::make_unique<QTemporaryDir>();
        QVERIFY(QDir(root->path()).mkpath("work") && QDir::setCurrent(root->path() + "/work"));
        QVERIFY(QFile::link(root->path(), "link"));
        foreign_link = ::geteuid() == 0 && ::lchown("link", 65534, 65534) == 0;
    }

    void hash_texts()
    {
        const QByteArray big = QByteArray(700001, 'q') + "over several read blocks";
        const QByteArray one_block(256 * 1024, 'b'); // the size of one read
        for (const QByteArray &content : {QByteArray(), QByteArray("abc"), big, one_block,
                                          one_block + 'x', one_block + one_block}) {
            QVERIFY(write_file("file", content));
            QCOMPARE(PlanBuilder::file_hash("file"),
                     QCryptographicHash::hash(content, QCryptographicHash::Sha256).toHex().left(7));
        }
        QCOMPARE(PlanBuilder::file_hash("missing"), QString());
        QCOMPARE(PlanBuilder::file_hash("."), QString()); // a directory does not open
        // A FIFO (or device) at a file's name would block the read for ever.
        QCOMPARE(::mkfifo("fifo", 0644), 0);
        QCOMPARE(PlanBuilder::file_hash("fifo"), QString());
    }

    // Many files at once, as the verification hashes them: one name in
    // several folders, folders taken in turn, a folder that is missing, a
    // FIFO and a folder among the files.
    void hash_texts_of_many_files()
    {
        QVERIFY(QDir().mkpath("a/b") && QDir().mkpath("c/d"));
        QCOMPARE(::mkfifo("a/fifo", 0644), 0);
        const QStringList present {"a/x", "c/x", "x", "a/b/x", "a/y", "c/y", "a/z"};
        for (const QString &name : present)
            QVERIFY(write_file(name, "content of " + name.toUtf8()));
        const QStringList names {"a/x",    "c/x", "x",   "a/b/x", "a/y",      "gone/x",
                                 "a/fifo", "c/y", "c/d", "a/z",   "a/missing"};
        const QStringList hashes = FileHasher::hash_texts(names);
        QCOMPARE(hashes.size(), names.size());
        for (int i = 0; i < names.size(); ++i) {
            const QString expected = present.contains(names[i])
                ? FileHasher::hash_text_of("content of " + names[i].toUtf8())
                : QString();
            QCOMPARE(hashes[i], expected);
        }
    }

    void plan_cases_data()
    {
        QTest::addColumn<QStringList>("codes");
        QTest::addColumn<QStringList>("chain");
        QTest::newRow("direct listed last") << QStringList {"12", "23", "13"} << QStringList {"13"};
        QTest::newRow("direct listed first")
            << QStringList {"13", "12", "23"} << QStringList {"13"};
        QTest::newRow("tie, H2 first")
            << QStringList {"12", "14", "23", "43"} << QStringList {"12", "23"};
        QTest::newRow("tie, H4 first")
            << QStringList {"14", "12", "23", "43"} << QStringList {"14", "43"};
        QTest::newRow("no chain") << QStringList {"12"} << QStringList {};
        QTest::newRow("cycle on the way")
            << QStringList {"12", "21", "24", "42", "43"} << QStringList {"12", "24", "43"};
    }
    void plan_cases()
    {
        QFETCH(QStringList, codes);
        QFETCH(QStringList, chain);
        QCOMPARE(plan(patches(codes)), chain);
        QCOMPARE(plan(patches(codes), 0), QStringList()); // a missing file has no chain
    }

    void patch_cycle_without_target_ends()
    {
        QCOMPARE(plan(patches({"12", "21", "24", "41", "11"})), QStringList());
    }

    void ignored_patch_entries()
    {
        const QString name = PatchName::compose("", h(1), h(3)); // 22 characters
        QCOMPARE(plan({name}), QStringList {"13"});
        for (const QJsonValue &entry :
             {QJsonValue(name.mid(1)), QJsonValue(42), QJsonValue("/" + name),
              QJsonValue("\\" + name), QJsonValue(".." + name), QJsonValue(QChar(0) + name)})
            QCOMPARE(plan(QJsonArray {entry}), QStringList());
    }

    void verification_outcomes()
    {
        for (const char *name : {"same", "upper", "full", "stale"})
            QVERIFY(write_file(name, "abc"));
        QVERIFY(write_file("empty", ""));
        PlanBuilder builder(game_here());
        UpdatePlan planned;
        const ManifestReader reader(game_here());
        const Manifest read = reader.parse(R"({"files": {
            "same": {"hash": "ba7816b"}, "absent": {}, "not-object": 5, "empty": {"hash": "1"},
            "upper": {"hash": "BA7816B"}, "deep/er/file": {"hash": "2", "path": "deep/er"},
            "full": {"hash": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
            "stale": {"hash": "1111111", "patches": ["stale.ba7816b_1111111.patch"]}}})",
                                           A);
        builder.add_files(planned, *read.files, A);
        QCOMPARE(queued(planned),
                 QStringList({"deep/er/file@a.example  0", "empty@a.example e3b0c44 0",
                              "full@a.example ba7816b 0", "stale@a.example ba7816b 1",
                              "upper@a.example ba7816b 0"}));
        QVERIFY(QFileInfo("deep/er").isDir());
    }

    void later_manifest_decides_again()
    {
        QVERIFY(write_file("x", "abc"));
        PlanBuilder builder(game_here());
        UpdatePlan planned;
        const QJsonObject stale {{"hash", "1"}};
        builder.add_files(planned, {{"x", stale}, {"y", stale}, {"z", stale}}, A);
        builder.add_files(planned, {{"x", QJsonObject {{"hash", "ba7816b"}}}, {"y", stale}}, B);
        QCOMPARE(queued(planned), QStringList({"z@a.example  0", "y@b.example  0"}));
    }

    void unsafe_names_touch_nothing_outside_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("path");
        QStringList bad = QString("../escape|a/../../escape|C:escape|a\\..\\escape|link/escape|"
                                  "\\\\escape|//escape|a\\/..//escape|C:\\escape")
                              .split('|');
        bad << QDir::current().absoluteFilePath("../escape") << QString("esc") + QChar(0) + "ape";
        for (const QString &name : bad) {
            QTest::newRow(qPrintable("key " + name)) << name << "";
            QTest::newRow(qPrintable("path " + name)) << "ok" << name;
        }
        // A key is also the file's address on the server: never rewritten.
        for (const char *name : {"a//escape", "escape/", "a\\escape"})
            QTest::newRow(qPrintable(QString("key ") + name)) << QString(name) << "";
    }
    void unsafe_names_touch_nothing_outside()
    {
        QFETCH(QString, key);
        QFETCH(QString, path);
        need_foreign_link(key + path);
        PlanBuilder builder(game_here());
        UpdatePlan planned;
        builder.add_files(planned, {{key, QJsonObject {{"path", path}, {"hash", "1234567"}}}}, A);
        QVERIFY(planned.files.isEmpty());
        QCOMPARE(planned.refused_files, QStringList {key});
        QCOMPARE(QDir(root->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList {"work"});
        QCOMPARE(QDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System),
                 QStringList {"link"});
    }

    void folder_paths_normalised_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("folder");
        QTest::newRow("trailing slash") << "a/b/"
                                        << "a/b";
        QTest::newRow("doubled slashes") << "a//b///c"
                                         << "a/b/c";
        QTest::newRow("backslashes") << "a\\b\\"
                                     << "a/b";
        QTest::newRow("mixed") << "a\\/b"
                               << "a/b";
    }
    void folder_paths_normalised()
    {
        QFETCH(QString, path);
        QFETCH(QString, folder);
        PlanBuilder builder(game_here());
        UpdatePlan planned;
        builder.add_files(planned, {{"file", QJsonObject {{"path", path}, {"hash", "1234567"}}}},
                          A);
        QCOMPARE(queued(planned), QStringList {"file@a.example  0"});
        QVERIFY(planned.refused_files.isEmpty());
        QVERIFY(QFileInfo(folder).isDir());
        QCOMPARE(QDir().entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList({"a", "link"}));
    }

    void refused_files_in_key_order_once()
    {
        need_foreign_link("link");
        PlanBuilder builder(game_here());
        UpdatePlan planned;
        const QJsonObject any {{"hash", "1"}};
        builder.add_files(
            planned, {{"../up", any}, {"in", QJsonObject {{"path", "link/out"}}}, {"ok", any}}, A);
        builder.add_files(planned, {{"../up", any}, {"..\\b", any}, {"ok", any}}, B);
        QCOMPARE(planned.refused_files, QStringList({"../up", "in", "..\\b"}));
        QCOMPARE(queued(planned), QStringList {"ok@b.example  0"});
    }

    // One folder through a sequence of starts, each verifying a main and a
    // second manifest: what the verifications read again, and what they plan.
    void verification_cache_reads_only_changed_files()
    {
        QJsonObject main_files;
        QJsonObject extra_files;
        // The last name has what the cache file must encode: space, "%", newline.
        for (const char *name : {"a", "b", "c", "d", "e 1%\nx"}) {
            QVERIFY(write_file(name, QByteArray("content of ") + name));
            (QByteArray("abc").contains(name) ? main_files : extra_files)
                .insert(name, QJsonObject {{"hash", PlanBuilder::file_hash(name)}});
        }
        // Entries made within two seconds of a file's change are not trusted.
        QTest::qSleep(2100);
        PlanBuilder builder(game_here());
        UpdatePlan planned;
        auto files_read = [&] {
            const qint64 before = planned.hashed_files;
            builder.add_files(planned, main_files, A);
            builder.add_files(planned, extra_files, B);
            return planned.hashed_files - before;
        };
        QCOMPARE(files_read(), 5);
        QCOMPARE(files_read(), 0);
        builder.set_full_verification(true);
        QCOMPARE(files_read(), 5);
        builder.set_full_verification(false);
        QCOMPARE(files_read(), 0);

        // A start that changes nothing leaves the cache file as it was.
        const QString cache = VerifyCache::file_name();
        VerifyCache::Entry written;
        QVERIFY(FileIdentity::of_path(cache, written));
        QCOMPARE(files_read(), 0);
        VerifyCache::Entry after;
        QVERIFY(FileIdentity::of_path(cache, after) && after.same_file(written));

        const QByteArray sound = read_file(cache);
        const QList<QByteArray> damaged {sound.left(sound.size() - 9),
                                         sound.left(sound.size() / 2),
                                         QByteArray(sound).replace(sound.size() / 2, 1, "#"),
                                         QByteArray(sound).replace("cache 3", "cache 2"),
                                         "saltmarch-verify-cache 1\n1 3 0 0 1 1 abcdef1 a\n",
                                         QByteArray()};
        for (const QByteArray &content : damaged) {
            QVERIFY(write_file(cache, content));
            QCOMPARE(files_read(), 5);
            QCOMPARE(files_read(), 0);
        }
        QVERIFY(QFile::remove(cache));
        QCOMPARE(files_read(), 5);
        QVERIFY(planned.files.isEmpty());

        // b grows; c is replaced by a file of the same size and times; only
        // d's modification time moves.
        VerifyCache::Entry c;
        QVERIFY(FileIdentity::of_path("c", c));
        QVERIFY(write_file("b", "content of b, longer"));
        QVERIFY(write_file("c.new", "CONTENT OF C") && set_mtime_ns("c.new", c.mtime_ns));
        QVERIFY(::rename("c.new", "c") == 0);
        QVERIFY(set_mtime_ns("d", c.mtime_ns - 60'000'000'000));
        QCOMPARE(files_read(), 3);
        QCOMPARE(queued(planned),
                 QStringList({"b@a.example " + PlanBuilder::file_hash("b") + " 0",
                              "c@a.example " + PlanBuilder::file_hash("c") + " 0"}));
        // Just changed: read again until their entries are old enough.
        QCOMPARE(files_read(), 3);
    }

    void cache_name_listed_by_manifest_is_a_game_file()
    {
        QVERIFY(write_file("a", "abc"));
        const QJsonObject a {{"hash", "ba7816b"}};
        const QString cache = VerifyCache::file_name();
        PlanBuilder builder(game_here());
        UpdatePlan planned;
        builder.add_files(planned, {{"a", a}}, A);
        const QByteArray written = read_file(cache);
        QVERIFY(written.startsWith("saltmarch-verify-cache"));

        builder.add_files(planned, {{"a", a}, {cache, QJsonObject {{"hash", "1234567"}}}}, A);
        QCOMPARE(planned.hashed_files, 3);
        QCOMPARE(read_file(cache), written);
        QCOMPARE(planned.files.size(), 1);
        QCOMPARE(planned.files[0].local_hash, PlanBuilder::file_hash(cache));

        // Once the game file is in place, a manifest without it leaves it be.
        QVERIFY(write_file(cache, "game data"));
        builder.add_files(planned, {{"a", a}}, A);
        QCOMPARE(read_file(cache), QByteArray("game data"));
        QCOMPARE(QDir().entryList(QDir::Files | QDir::Hidden), QStringList({cache, "a"}));
    }

    // Each stat field on its own tells a changed file: an entry that differs
    // in one of them is never reused.
    void cache_entry_differing_in_one_field_is_not_reused_data()
    {
        QTest::addColumn<QString>("field");
        for (const char *field : {"size", "mtime", "ctime", "inode", "device"})
            QTest::newRow(field) << field;
    }
    void cache_entry_differing_in_one_field_is_not_reused()
    {
        QFETCH(QString, field);
        VerifyCache::Entry cached;
        cached.size = 4096;
        cached.mtime_ns = cached.ctime_ns = 1'000'000'000;
        cached.checked_ns = 60'000'000'000; // read long after its last change
        cached.inode = 77;
        cached.device = 8;
        cached.digest = DIGEST;
        VerifyCache cache;
        cache.insert("f", cached);
        QString hash;
        QVERIFY(reusable_digest(cache, "f", cached, hash) && hash == DIGEST);
        VerifyCache::Entry now = cached;
        if (field == "size")
            ++now.size;
        else if (field == "mtime")
            ++now.mtime_ns;
        else if (field == "ctime")
            ++now.ctime_ns;
        else if (field == "inode")
            ++now.inode;
        else
            ++now.device;
        hash.clear();
        QVERIFY(!reusable_digest(cache, "f", now, hash));
        QVERIFY(hash.isEmpty());
    }

    // Times a damaged cache file may hold, however far apart, decide without
    // overflow: an entry made before the change is never reused.
    void cache_entry_with_extreme_times()
    {
        constexpr qint64 LOWEST = std::numeric_limits<qint64>::min();
        constexpr qint64 HIGHEST = std::numeric_limits<qint64>::max();
        VerifyCache::Entry entry;
        entry.digest = DIGEST;
        VerifyCache cache;
        QString hash;
        entry.checked_ns = LOWEST;
        entry.mtime_ns = entry.ctime_ns = HIGHEST;
        cache.insert("f", entry);
        QVERIFY(!reusable_digest(cache, "f", entry, hash));
        entry.checked_ns = HIGHEST;
        entry.mtime_ns = entry.ctime_ns = LOWEST;
        cache.insert("f", entry);
        QVERIFY(reusable_digest(cache, "f", entry, hash) && hash == DIGEST);
    }

    // What a plan needs per volume: files given as "volume old new" (new -1:
    // no size; a trailing "p": patched), with archives on volume "s".
    void disk_need_data()
    {
        QTest::addColumn<QStringList>("files");
        QTest::addColumn<QStringList>("need");
        QTest::newRow("growth and the three largest steps")
            << QStringList {"s 100 110", "s 100 120", "s 50 60", "s 10 200"}
            << QStringList {"s 870"}; // 230 growth; steps of 220, 210, 210 (110 left out)
        QTest::newRow("smaller file") << QStringList {"s 200 100"} << QStringList {"s 200"};
        QTest::newRow("no size counts nothing")
            << QStringList {"s 100 -1", "s 0 -1"} << QStringList {};
        QTest::newRow("patched: two results in the scratch area, no archive")
            << QStringList {"s 100 120 p"} << QStringList {"s 360"};
        QTest::newRow("file on another volume")
            << QStringList {"d 100 150"} << QStringList {"d 150", "s 150"};
    }
    void disk_need()
    {
        QFETCH(QStringList, files);
        QFETCH(QStringList, need);
        QVector<DiskNeed::PlannedFile> planned;
        for (const QString &file : files) {
            const QStringList f = file.split(' ');
            planned.append({f[0], f[1].toLongLong(), f[2].toLongLong(), f.size() > 3});
        }
        QStringList got;
        const QMap<QString, qint64> needs = DiskNeed::per_volume(planned, "s", 3);
        for (auto it = needs.cbegin(); it != needs.cend(); ++it)
            if (it.value() != 0)
                got << it.key() + " " + QString::number(it.value());
        QCOMPARE(got, need);
    }

    void unsafe_exec_keeps_name()
    {
        need_foreign_link("link");
        // The program as a link: the player's own is started through it,
        // another user's never.
        QVERIFY(write_file("program", "#!/bin/sh\n"));
        QVERIFY(QFile::link("program", "game-link.exe") && QFile::link("program", "their.exe"));
        QCOMPARE(::lchown("their.exe", 65534, 65534), 0);
        for (const QString &exec : QString("game.exe|bin/game.exe|/bin/sh|../game.exe|C:\\game.exe|"
                                           "link/game.exe||game-link.exe|their.exe")
                                       .split('|')) {
            const ManifestReader reader(game_here());
            const Manifest read =
                reader.parse(QJsonDocument(QJsonObject {{"exec", exec}}).toJson(), A);
            QCOMPARE(read.exec_name.value_or("none"),
                     exec.startsWith("game") || exec.startsWith("bin") ? exec : QString("none"));
        }
    }
};

QTEST_GUILESS_MAIN(TestPlan)
#include "tst_plan.moc"
