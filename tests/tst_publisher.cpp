#include "archive_file.h"
#include "patch_name.h"
#include "safe_path.h"
#include "updater/patch_planner.h"

#include "hash_text.h"
#include "patch_names.h"
#include "test_paths.h"

#include "app/version.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <bzlib.h>
#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray lines(int from, int to)
{
    QByteArray text;
    for (int i = from; i < to; ++i)
        text += "line " + QByteArray::number(i) + " of the table\n";
    return text;
}

void write(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(data), qint64(data.size()));
}

QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// Reads an archive as a reader that knows one stream per archive: libbzip2's
// BZ2_bzRead until BZ_STREAM_END. *rest: the bytes left after that stream.
QByteArray first_stream(const QString &path, qint64 *rest)
{
    FILE *file = std::fopen(QFile::encodeName(path).constData(), "rb");
    if (!file)
        return "<missing>";
    int status = BZ_OK;
    BZFILE *bz = BZ2_bzReadOpen(&status, file, 0, 0, nullptr, 0);
    QByteArray output;
    char buffer[65536];
    while (status == BZ_OK) {
        const int got = BZ2_bzRead(&status, bz, buffer, sizeof buffer);
        if (status == BZ_OK || status == BZ_STREAM_END)
            output.append(buffer, got);
    }
    if (status != BZ_STREAM_END)
        output = "<error " + QByteArray::number(status) + ">";
    void *unused = nullptr;
    int unused_count = 0;
    BZ2_bzReadGetUnused(&status, bz, &unused, &unused_count);
    const long at = std::ftell(file);
    std::fseek(file, 0, SEEK_END);
    *rest = unused_count + (std::ftell(file) - at);
    BZ2_bzReadClose(&status, bz);
    std::fclose(file);
    return output;
}

// Block magics in a bzip2 stream, at any bit position.
int block_count(const QByteArray &archive)
{
    quint64 window = 0;
    int count = 0;
    for (const char byte : archive) {
        for (int bit = 7; bit >= 0; --bit) {
            window = (window << 1 | ((uchar(byte) >> bit) & 1)) & 0xffffffffffffULL;
            count += window == 0x314159265359ULL ? 1 : 0;
        }
    }
    return count;
}

// Every file and folder below root, hidden ones too, with its size: what a
// refused run must leave as it was.
QStringList listing(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        entries.append(it.filePath() + " " + QString::number(it.fileInfo().size()));
    }
    entries.sort();
    return entries;
}

// Release 10: files of several MB, each cut into pieces compressed apart.
QByteArray stream_test_content(const QString &key)
{
    if (key == "empty.dat")
        return QByteArray();
    if (key == "fours.dat") { // each run of four takes five bytes: a piece needs two blocks
        QByteArray fours;
        for (int i = 0; fours.size() < 4 * 899000; ++i)
            fours += QByteArray(4, char('a' + i % 3));
        return fours;
    }
    const int size = key == "small.dat" ? 899000 : 4 * 899000 + 12345;
    QByteArray content = lines(0, size / 20 + 1).left(size);
    for (int i = 0; i < content.size(); i += 977)
        content[i] = char(i / 977); // less regular than the table
    return content;
}

// The three versions of the release: "data/table.txt" changes every time,
// "orvex.exe" never, "notes.txt" (tiny) in the second.
QMap<QString, QByteArray> version(int n)
{
    return {{"orvex.exe", lines(0, 20000)},
            {"data/table.txt", lines(n * 7, 30000 + n * 11)},
            {"notes.txt", n >= 2 ? "new notes" : "notes"}};
}

} // namespace

class TestPublisher : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void manifest_fields_and_keys();
    void archives_extract_with_launcher_code();
    void archive_is_one_stream_data();
    void archive_is_one_stream();
    void patch_names_parse_back_and_apply();
    void chain_over_three_versions();
    void unchanged_file_not_recompressed();
    void hostile_release_name_refused_data();
    void hostile_release_name_refused();
    void release_entry_refused_data();
    void release_entry_refused();
    void internal_link_published_only_on_request();
    void file_changed_while_published();
    void damaged_previous_data();
    void damaged_previous();
    void check_finds_faults_data();
    void check_finds_faults();
    void kill_during_same_tree_publish();
    void patch_names_stay_plain_and_distinct();
    void out_refused_data();
    void out_refused();
    void history_kept_or_dropped_on_purpose();
    void launcher_version_checked_data();
    void launcher_version_checked();
    void lock_file_gone_after_run_data();
    void lock_file_gone_after_run();
    void dot_names_warned_when_not_served_data();
    void dot_names_warned_when_not_served();

private:
    int publish(int n, const QStringList &extra, QByteArray *errors = nullptr);
    int run(const QStringList &arguments, QByteArray *errors = nullptr,
            const QProcessEnvironment &env = QProcessEnvironment::systemEnvironment());
    int check(const QString &tree, QByteArray *errors = nullptr)
    {
        return run({"--check", tree}, errors);
    }
    // A fresh copy of a published tree (no hard links into the original).
    QString copy_tree(const QString &from, const QString &name);
    QJsonObject manifest(int n) const;
    QString release(int n) const { return dir.filePath(QString("v%1").arg(n)); }
    QString out(int n) const { return dir.filePath(QString("out%1").arg(n)); }

    QTemporaryDir dir;
    QByteArray output; // standard output of the last run
};

int TestPublisher::publish(int n, const QStringList &extra, QByteArray *errors)
{
    return run(QStringList {"--release", release(n), "--out", out(n), "--server-version",
                            QString("1.%1").arg(n), "--launcher-version", "1.4.0", "--jobs", "2"} +
                   extra,
               errors);
}

int TestPublisher::run(const QStringList &arguments, QByteArray *errors,
                       const QProcessEnvironment &env)
{
    QProcess process;
    process.setProcessEnvironment(env);
    process.start(bin_dir() + "/publisher", arguments);
    if (!process.waitForFinished(120000))
        return -1;
    if (errors)
        *errors = process.readAllStandardError();
    output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

QString TestPublisher::copy_tree(const QString &from, const QString &name)
{
    const QString to = dir.filePath(name);
    QDir(to).removeRecursively();
    QProcess::execute("cp", {"-r", from, to});
    return to;
}

QJsonObject TestPublisher::manifest(int n) const
{
    return QJsonDocument::fromJson(read(out(n) + "/patcher.json")).object();
}

void TestPublisher::initTestCase()
{
    for (int n = 1; n <= 3; ++n) {
        const QMap<QString, QByteArray> files = version(n);
        for (auto it = files.begin(); it != files.end(); ++it)
            write(release(n) + "/" + it.key(), it.value());
    }
    QCOMPARE(publish(1, {}), 0);
    QCOMPARE(publish(2, {"--previous", out(1)}), 0);
    QCOMPARE(publish(3, {"--previous", out(2), "--patch-history", "2"}), 0);
}

void TestPublisher::manifest_fields_and_keys()
{
    const QJsonObject m = manifest(1);
    QCOMPARE(m.value("server-version").toString(), QString("1.1"));
    QCOMPARE(m.value("launcher-version").toString(), QString("1.4.0"));
    QCOMPARE(m.value("exec").toString(), QString("orvex.exe"));
    const QJsonObject files = m.value("files").toObject();
    QCOMPARE(files.keys(), QStringList({"data/table.txt", "notes.txt", "orvex.exe"}));
    QCOMPARE(files.value("data/table.txt").toObject().value("path").toString(), QString("data"));
    QCOMPARE(files.value("orvex.exe").toObject().value("path").toString(), QString(""));
    for (const QString &key : files.keys()) {
        const QJsonObject entry = files.value(key).toObject();
        QCOMPARE(entry.value("hash").toString(), hash_text(version(1).value(key)));
        QCOMPARE(entry.value("sha256").toString(),
                 QString(QCryptographicHash::hash(version(1).value(key),
                                                   QCryptographicHash::Sha256)
                             .toHex()));
        QCOMPARE(entry.value("size").toVariant(),
                 QVariant(qlonglong(version(1).value(key).size())));
        QVERIFY(entry.value("patches").isArray());
    }
    // Facts of the tree: the sequence grows over --previous, one per publish.
    for (int n = 1; n <= 3; ++n) {
        QCOMPARE(manifest(n).value("sequence").toInt(), n);
        QCOMPARE(manifest(n).value("distribution").toString(), QString("prod"));
        QVERIFY(!manifest(n).contains("expires"));
    }
    const QString tree = dir.filePath("facts");
    QCOMPARE(run({"--release", release(1), "--out", tree, "--server-version", "1",
                  "--launcher-version", "1.4.0", "--distribution", "qa", "--sequence", "40",
                  "--expires-after", "2"}),
             0);
    const QJsonObject facts = QJsonDocument::fromJson(read(tree + "/patcher.json")).object();
    QCOMPARE(facts.value("sequence").toInt(), 40);
    QCOMPARE(facts.value("distribution").toString(), QString("qa"));
    const QDateTime expires = QDateTime::fromString(facts.value("expires").toString(), Qt::ISODate);
    QVERIFY(facts.value("expires").toString().endsWith('Z'));
    QVERIFY(qAbs(QDateTime::currentDateTimeUtc().addDays(2).secsTo(expires)) < 600);
}

void TestPublisher::archives_extract_with_launcher_code()
{
    for (auto [key, data] : version(1).toStdMap()) {
        const QString target = dir.filePath("extracted");
        const ExtractOutcome outcome = extract_archive(out(1) + "/" + key + ".bz2", target);
        QVERIFY(!outcome.failed());
        QVERIFY2(read(target) == data, qPrintable(key));
    }
}

void TestPublisher::archive_is_one_stream_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("blocks");
    QTest::newRow("empty") << "empty.dat" << 0;
    QTest::newRow("small file: four smaller blocks") << "small.dat" << 4;
    QTest::newRow("large file: a block per 899 000 bytes") << "large.dat" << 5;
    QTest::newRow("runs of four: two blocks per piece") << "fours.dat" << 8;
}

// Blocks compressed apart (in parallel) are joined into one stream: a reader
// that stops at the first end of stream gets the whole file with nothing
// left over, and bunzip2 and the launcher agree.
void TestPublisher::archive_is_one_stream()
{
    QFETCH(QString, key);
    QFETCH(int, blocks);
    if (!QFile::exists(out(10) + "/patcher.json")) {
        for (const char *name : {"empty.dat", "small.dat", "large.dat", "fours.dat"})
            write(release(10) + "/" + name, stream_test_content(name));
        QCOMPARE(publish(10, {"--exec", "large.dat"}), 0);
    }
    const QByteArray content = stream_test_content(key);
    const QString archive = out(10) + "/" + key + ".bz2";
    qint64 rest = -1;
    QVERIFY(first_stream(archive, &rest) == content);
    QCOMPARE(rest, qint64(0));
    QCOMPARE(read(archive).count(QByteArray("BZh9")), 1);
    QCOMPARE(block_count(read(archive)), blocks);
    const QString target = dir.filePath("blocks-extracted");
    QVERIFY(!extract_archive(archive, target).failed());
    QVERIFY(read(target) == content);
    QProcess bunzip2;
    bunzip2.start("bunzip2", {"-c", archive});
    QVERIFY(bunzip2.waitForFinished(60000));
    QCOMPARE(bunzip2.exitCode(), 0);
    QVERIFY(bunzip2.readAllStandardOutput() == content);
}

void TestPublisher::patch_names_parse_back_and_apply()
{
    const QJsonObject files = manifest(2).value("files").toObject();
    const QJsonArray patches = files.value("data/table.txt").toObject().value("patches").toArray();
    QCOMPARE(patches.size(), 1);
    PatchName parsed;
    QVERIFY(PatchName::parse(patches[0].toString(), parsed));
    QCOMPARE(parsed.source_hash, hash_text(version(1).value("data/table.txt")));
    QCOMPARE(parsed.result_hash, hash_text(version(2).value("data/table.txt")));

    const QString target = dir.filePath("patched.txt");
    write(target, version(1).value("data/table.txt"));
    const QString patch = out(2) + "/patches/" + patches[0].toString() + ".bz2";
    QCOMPARE(QProcess::execute(bin_dir() + "/patcher.exe", {patch, target}), 0);
    QVERIFY(read(target) == version(2).value("data/table.txt"));
    // A patch of a tiny file is larger than its archive: none is listed.
    QVERIFY(files.value("notes.txt").toObject().value("patches").toArray().isEmpty());
    QVERIFY(files.value("orvex.exe").toObject().value("patches").toArray().isEmpty());
}

// A player two versions behind reaches the third version through the kept
// patch and the new one, planned by the launcher's own search.
void TestPublisher::chain_over_three_versions()
{
    const QJsonArray patches = manifest(3)
                                   .value("files")
                                   .toObject()
                                   .value("data/table.txt")
                                   .toObject()
                                   .value("patches")
                                   .toArray();
    QQueue<PatchStep> chain;
    PatchPlanner::plan(chain, hash_text(version(1).value("data/table.txt")),
                       hash_text(version(3).value("data/table.txt")), patches);
    QCOMPARE(chain.size(), 2);
    const QString target = dir.filePath("chained.txt");
    write(target, version(1).value("data/table.txt"));
    for (const PatchStep &step : chain) {
        const QString patch = out(3) + "/patches/" + step.patch_name + ".bz2";
        QCOMPARE(QProcess::execute(bin_dir() + "/patcher.exe", {patch, target}), 0);
        QCOMPARE(file_hash_text(target), step.result_hash);
    }
    QVERIFY(read(target) == version(3).value("data/table.txt"));
}

void TestPublisher::unchanged_file_not_recompressed()
{
    // Replace the earlier archive by another valid stream of the same content:
    // a recompression would not reproduce these bytes.
    const QByteArray content = version(1).value("orvex.exe");
    QByteArray other(content.size() + 1000, Qt::Uninitialized);
    unsigned int size = unsigned(other.size());
    QCOMPARE(BZ2_bzBuffToBuffCompress(other.data(), &size, const_cast<char *>(content.data()),
                                      unsigned(content.size()), 1, 0, 0),
             BZ_OK);
    other.truncate(int(size));
    write(out(1) + "/orvex.exe.bz2", other);
    QDir(out(2)).removeRecursively();
    QCOMPARE(publish(2, {"--previous", out(1)}), 0);
    QVERIFY(read(out(2) + "/orvex.exe.bz2") == other);
    QVERIFY(read(out(2) + "/data/table.txt.bz2") != read(out(1) + "/data/table.txt.bz2"));
}

void TestPublisher::hostile_release_name_refused_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("backslash") << "maps\\town.dat";
    QTest::newRow("colon") << "c:town.dat";
    QTest::newRow("fragment mark") << "town#2.dat";
    for (const char *c : {"<", ">", "|", "*", "\"", "\x01", "\x1f"})
        QTest::newRow(qPrintable(QString("Windows forbids %1").arg(int(c[0]))))
            << QString("town%1.dat").arg(c);
    QTest::newRow("trailing dot") << "town.";
    QTest::newRow("trailing space") << "town ";
    for (const char *device : {"CON", "prn.txt", "Aux.dat", "NUL", "COM1", "com9.x", "LPT1.dat"})
        QTest::newRow(device) << QString(device);
    QTest::newRow("device name as a folder") << "nul/x.dat";
    QTest::newRow("console input") << "conin$.txt";
    QTest::newRow("space before the extension") << "nul .txt";
}

void TestPublisher::hostile_release_name_refused()
{
    QFETCH(QString, name);
    QDir(release(4)).removeRecursively();
    write(release(4) + "/data/" + name, "x");
    write(release(4) + "/orvex.exe", "game");
    QByteArray errors;
    QCOMPARE(publish(4, {}, &errors), 1);
    // The message names the first refused part, control characters escaped.
    QString named = "data/" + name.section('/', 0, 0);
    for (QChar c = 0; c < 0x20; c = c.unicode() + 1)
        named.replace(c, QString("\\x%1").arg(c.unicode(), 2, 16, QChar('0')));
    QVERIFY2(errors.contains(named.toUtf8()), errors.constData());
    QVERIFY(!QFile::exists(out(4) + "/patcher.json"));
    QDir(release(4)).removeRecursively();
}

// Entries that are not plain files or folders, or whose names the game cannot
// have: the run fails, names the entry and leaves the served tree as it was.
void TestPublisher::release_entry_refused_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("named");
    QTest::newRow("link out of the release") << "link out"
                                             << "data/shadow";
    QTest::newRow("link to an inner folder") << "folder link"
                                             << "data/more";
    QTest::newRow("FIFO") << "fifo"
                          << "data/pipe";
    QTest::newRow("name not UTF-8") << "not utf-8"
                                    << "data/bad\\xff";
    QTest::newRow("names differing in case") << "case twins"
                                             << "Orvex.exe";
    QTest::newRow("unreadable folder") << "unreadable"
                                       << "data/locked";
}

void TestPublisher::release_entry_refused()
{
    QFETCH(QString, kind);
    QFETCH(QString, named);
    if (kind == "unreadable" && ::geteuid() == 0)
        QSKIP("root reads every folder");
    const QString rel = release(6);
    QDir(rel).removeRecursively();
    write(rel + "/orvex.exe", "game");
    write(rel + "/data/a.dat", "a");
    write(dir.filePath("outside"), "secret");
    const QString served = out(6);
    QDir(served).removeRecursively();
    QCOMPARE(publish(6, {}), 0);
    const QByteArray manifest_before = read(served + "/patcher.json");

    if (kind == "link out")
        QVERIFY(QFile::link(dir.filePath("outside"), rel + "/data/shadow"));
    else if (kind == "folder link")
        QVERIFY(QFile::link(rel + "/data", rel + "/data/more"));
    else if (kind == "fifo")
        QCOMPARE(::mkfifo(QFile::encodeName(rel + "/data/pipe").constData(), 0644), 0);
    else if (kind == "not utf-8")
        QVERIFY(::close(::creat(QFile::encodeName(rel) + "/data/bad\xff", 0644)) == 0);
    else if (kind == "case twins")
        write(rel + "/Orvex.exe", "other");
    else if (kind == "unreadable")
        QVERIFY(QDir().mkpath(rel + "/data/locked") &&
                QFile::setPermissions(rel + "/data/locked", QFileDevice::Permissions()));
    QByteArray errors;
    QCOMPARE(publish(6, {"--new-history"}, &errors), 1); // returns, so a FIFO is never opened
    QVERIFY2(errors.contains(named.toUtf8()), errors.constData());
    QCOMPARE(read(served + "/patcher.json"), manifest_before);
    QVERIFY(!read(served + "/data").contains("secret"));
    QCOMPARE(check(served), 0);
    ::unlink(QFile::encodeName(rel) + "/data/bad\xff"); // beyond Qt's names
    QFile::setPermissions(rel + "/data/locked",
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

void TestPublisher::internal_link_published_only_on_request()
{
    const QString rel = release(7);
    write(rel + "/orvex.exe", "game");
    write(rel + "/data/real.dat", "shared content");
    QVERIFY(QFile::link("real.dat", rel + "/data/alias.dat"));
    QByteArray errors;
    QCOMPARE(publish(7, {}, &errors), 1);
    QVERIFY2(errors.contains("data/alias.dat"), errors.constData());
    QCOMPARE(publish(7, {"--follow-internal-links"}), 0);
    const QString target = dir.filePath("alias-extracted");
    QVERIFY(!extract_archive(out(7) + "/data/alias.dat.bz2", target).failed());
    QCOMPARE(read(target), QByteArray("shared content"));
    QCOMPARE(check(out(7)), 0);
}

// The file grows right after it was compressed (a test hook), as if it were
// still being written: the run fails instead of listing a hash its archive
// does not hold.
void TestPublisher::file_changed_while_published()
{
    const QString rel = release(8);
    write(rel + "/orvex.exe", "game");
    write(rel + "/data/table.txt", lines(0, 1000));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("ORVEX_PUBLISHER_TEST_CHANGE", "data/table.txt");
    QByteArray errors;
    QCOMPARE(run({"--release", rel, "--out", out(8), "--server-version", "8", "--launcher-version",
                  "1.4.0"},
                 &errors, env),
             1);
    QVERIFY2(errors.contains("changed while it was published"), errors.constData());
    QVERIFY(!QFileInfo::exists(out(8)));
}

void TestPublisher::damaged_previous_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<QByteArray>("said");
    QTest::newRow("cut manifest") << "cut manifest" << 1 << QByteArray("patcher.json");
    QTest::newRow("missing manifest") << "missing manifest" << 1 << QByteArray("patcher.json");
    QTest::newRow("damaged archive") << "archive" << 1 << QByteArray("orvex.exe.bz2 is damaged");
    QTest::newRow("archive of other content")
        << "other archive" << 1 << QByteArray("other content");
    QTest::newRow("damaged patch") << "patch" << 1 << QByteArray("is damaged");
    QTest::newRow("missing patch") << "missing patch" << 1 << QByteArray("is missing");
    QTest::newRow("missing archive") << "missing archive" << 1 << QByteArray("has no archive");
    QTest::newRow("missing tree") << "missing tree" << 1 << QByteArray("not a folder");
}

// Release 3 published from a damaged copy of output 2: the run stops, as
// taking over less than the earlier tree lists would silently drop patch
// history.
void TestPublisher::damaged_previous()
{
    QFETCH(QString, damage);
    QFETCH(int, exit_code);
    QFETCH(QByteArray, said);
    const QString prev = copy_tree(out(2), "damaged-prev");
    const QJsonArray patches = manifest(2)
                                   .value("files")
                                   .toObject()
                                   .value("data/table.txt")
                                   .toObject()
                                   .value("patches")
                                   .toArray();
    QCOMPARE(patches.size(), 1);
    if (damage == "cut manifest")
        write(prev + "/patcher.json", read(prev + "/patcher.json").left(60));
    else if (damage == "missing manifest")
        QVERIFY(QFile::remove(prev + "/patcher.json"));
    else if (damage == "archive")
        write(prev + "/orvex.exe.bz2", read(prev + "/orvex.exe.bz2").left(100));
    else if (damage == "other archive")
        QVERIFY(QFile::remove(prev + "/orvex.exe.bz2") &&
                QFile::copy(prev + "/notes.txt.bz2", prev + "/orvex.exe.bz2"));
    else if (damage == "patch")
        write(prev + "/patches/" + patches[0].toString() + ".bz2", "ORVXPTCH garbage");
    else if (damage == "missing patch")
        QVERIFY(QFile::remove(prev + "/patches/" + patches[0].toString() + ".bz2"));
    else if (damage == "missing archive")
        QVERIFY(QFile::remove(prev + "/data/table.txt.bz2"));
    else if (damage == "missing tree")
        QVERIFY(QDir(prev).removeRecursively());
    const QString served = dir.filePath("from-damaged");
    QDir(served).removeRecursively();
    QByteArray errors;
    QCOMPARE(run({"--release", release(3), "--out", served, "--previous", prev, "--server-version",
                  "3", "--launcher-version", "1.4.0"},
                 &errors),
             exit_code);
    QVERIFY2(errors.contains(said), errors.constData());
    if (exit_code != 0) {
        QVERIFY(!QFileInfo::exists(served));
        return;
    }
    QCOMPARE(check(served), 0);
}

void TestPublisher::check_finds_faults_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("said");
    QTest::newRow("archive of other content") << "archive" << QByteArray("decompresses to");
    QTest::newRow("archive cut short") << "cut" << QByteArray("orvex.exe.bz2 is cut short");
    QTest::newRow("archive that is no bzip2")
        << "page" << QByteArray("orvex.exe.bz2 is damaged (bzip2 error -5)");
    QTest::newRow("patch missing") << "patch" << QByteArray("is missing");
    QTest::newRow("wrong size") << "size" << QByteArray("bytes, the manifest says");
    QTest::newRow("other content than its sha256") << "sha256" << QByteArray("sha256");
}

void TestPublisher::check_finds_faults()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, said);
    const QString tree = copy_tree(out(2), "checked");
    QCOMPARE(check(tree), 0);
    QJsonObject m = QJsonDocument::fromJson(read(tree + "/patcher.json")).object();
    QJsonObject files = m.value("files").toObject();
    QJsonObject table = files.value("data/table.txt").toObject();
    if (fault == "archive") {
        write(tree + "/orvex.exe.bz2", read(tree + "/notes.txt.bz2"));
    } else if (fault == "cut") {
        const QByteArray archive = read(tree + "/orvex.exe.bz2");
        write(tree + "/orvex.exe.bz2", archive.left(archive.size() / 2));
    } else if (fault == "page") {
        write(tree + "/orvex.exe.bz2", "<html>Not Found</html>");
    } else if (fault == "patch") {
        QVERIFY(QFile::remove(tree + "/patches/" + table.value("patches").toArray()[0].toString() +
                              ".bz2"));
    } else if (fault == "sha256") {
        // One digit changed past the hash text's: only the whole digest differs.
        QString digest = table.value("sha256").toString();
        digest[40] = digest[40] == '0' ? '1' : '0';
        table.insert("sha256", digest);
        files.insert("data/table.txt", table);
        m.insert("files", files);
        write(tree + "/patcher.json", QJsonDocument(m).toJson());
    } else {
        table.insert("size", table.value("size").toDouble() + 1);
        files.insert("data/table.txt", table);
        m.insert("files", files);
        write(tree + "/patcher.json", QJsonDocument(m).toJson());
    }
    QByteArray errors;
    QCOMPARE(check(tree, &errors), 1);
    QVERIFY2(errors.contains(said), errors.constData());
}

// A publish into the served folder that is also its --previous, killed while
// it works: what is served still passes the check, and the next run clears
// what the killed one left and succeeds.
void TestPublisher::kill_during_same_tree_publish()
{
    const QString served = copy_tree(out(2), "live");
    const QString rel = release(9);
    write(rel + "/orvex.exe", lines(0, 20000));
    QByteArray noise(3 << 20, Qt::Uninitialized);
    for (int i = 0; i < noise.size(); ++i)
        noise[i] = char((i * 2654435761u) >> 13);
    write(rel + "/data/table.txt", noise);
    const QStringList arguments {"--release",
                                 rel,
                                 "--out",
                                 served,
                                 "--previous",
                                 served,
                                 "--server-version",
                                 "9",
                                 "--launcher-version",
                                 "1.4.0",
                                 "--patch-history", // no patches: compressing takes long
                                 "0"}; // enough, and the check stays quick under sanitizers
    const QByteArray before = read(served + "/patcher.json");
    auto leftovers = [&] {
        return QDir(dir.path()).entryList({".live.staging-*"}, QDir::AllEntries | QDir::Hidden);
    };
    QProcess process;
    process.start(bin_dir() + "/publisher", arguments);
    QTRY_VERIFY_WITH_TIMEOUT(!leftovers().isEmpty() || process.state() == QProcess::NotRunning,
                             60000);
    process.kill();
    process.waitForFinished();
    const QByteArray served_manifest = read(served + "/patcher.json");
    QVERIFY(served_manifest == before ||
            QJsonDocument::fromJson(served_manifest).object().value("server-version") == "9");
    QCOMPARE(check(served), 0);

    QCOMPARE(run(arguments), 0);
    QVERIFY(leftovers().isEmpty());
    QCOMPARE(check(served), 0);
    QCOMPARE(
        QJsonDocument::fromJson(read(served + "/patcher.json")).object().value("server-version"),
        QJsonValue("9"));
}

void TestPublisher::patch_names_stay_plain_and_distinct()
{
    const QStringList keys = {
        "a/b_c", "a_b/c", "x..y", "x~_y", "x/y", "dir./f", "f.", "f", QString(300, 'k') + "/deep"};
    QStringList names;
    for (const QString &key : keys) {
        const QString name = patch_name_for(key, "1234567", "abcdef0");
        QVERIFY2(safe_path::is_plain_file_name(name), qPrintable(name));
        QVERIFY(name.toUtf8().size() <= 200);
        PatchName parsed;
        QVERIFY(PatchName::parse(name, parsed));
        QCOMPARE(parsed.source_hash, QString("1234567"));
        QCOMPARE(parsed.result_hash, QString("abcdef0"));
        names.append(name);
    }
    names.removeDuplicates();
    QCOMPARE(names.size(), keys.size());
}

void TestPublisher::out_refused_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<QByteArray>("said");
    QTest::newRow("parent of the release") << "." << QByteArray("contains the release folder");
    QTest::newRow("link to the release's parent")
        << "link-to-top" << QByteArray("contains the release folder");
    QTest::newRow("the release itself") << "v1" << QByteArray("is the release folder");
    QTest::newRow("inside the release") << "v1/data" << QByteArray("lies inside the release");
    QTest::newRow("unrelated non-empty folder")
        << "unrelated" << QByteArray("neither empty nor a tree the publisher made");
    QTest::newRow("a manifest of someone else's, no marker")
        << "foreign" << QByteArray("neither empty nor a tree the publisher made");
    QTest::newRow("a file") << "unrelated/keep.txt" << QByteArray("not a folder");
    QTest::newRow("inside the earlier version")
        << "out1/patches" << QByteArray("lies inside the earlier version");
}

// --out is replaced whole, so anything but a new or empty folder or a tree
// the publisher made is refused before anything is written: the listing of
// the whole test folder (lock files included) is the same after the run.
void TestPublisher::out_refused()
{
    QFETCH(QString, where);
    QFETCH(QByteArray, said);
    write(dir.filePath("unrelated/keep.txt"), "the operator's own file");
    write(dir.filePath("foreign/keep.txt"), "the operator's own file");
    write(dir.filePath("foreign/patcher.json"), "{\"note\": \"not ours\"}");
    QFile::link(dir.path(), dir.filePath("link-to-top"));
    const QString target = QDir::cleanPath(dir.filePath(where));
    const QStringList before = listing(dir.path());
    QByteArray errors;
    QCOMPARE(run({"--release", release(1), "--out", target, "--previous", out(1),
                  "--server-version", "9", "--launcher-version", "1.4.0"},
                 &errors),
             1);
    QVERIFY2(errors.contains(said), errors.constData());
    QCOMPARE(listing(dir.path()), before);
}

// A tree in --out is only replaced without its patch history on request.
void TestPublisher::history_kept_or_dropped_on_purpose()
{
    const QString tree = copy_tree(out(2), "history");
    const QStringList before = listing(tree);
    const QStringList arguments {
        "--release", release(3),           "--out", tree, "--server-version",
        "3",         "--launcher-version", "1.4.0"};
    QByteArray errors;
    QCOMPARE(run(arguments, &errors), 1);
    QVERIFY2(errors.contains("--new-history"), errors.constData());
    QCOMPARE(listing(tree), before);
    QCOMPARE(run(arguments + QStringList {"--new-history"}), 0);
    const QJsonObject files =
        QJsonDocument::fromJson(read(tree + "/patcher.json")).object().value("files").toObject();
    for (const QString &key : files.keys())
        QVERIFY(files.value(key).toObject().value("patches").toArray().isEmpty());
    QVERIFY(QDir(tree + "/patches").isEmpty());
    QCOMPARE(check(tree), 0);
}

void TestPublisher::dot_names_warned_when_not_served_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("warned");
    QTest::newRow("dot file") << ".settings.ini" << false;
    QTest::newRow("in a dot folder") << ".config/keys.ini" << false;
    // Its archive is ".orvex-published.bz2", which the guide's block serves.
    QTest::newRow("the marker's name") << ".orvex-published" << false;
    QTest::newRow("staging-like folder") << ".data.staging-1/level.pak" << true;
}

// The release may hold names beginning with a dot; only those that the
// guide's nginx block refuses are worth a warning.
void TestPublisher::dot_names_warned_when_not_served()
{
    QFETCH(QString, name);
    QFETCH(bool, warned);
    const QString release = dir.filePath("dots-" + QString::number(qHash(name)));
    write(release + "/" + name, "content");
    write(release + "/orvex.exe", "game");
    QByteArray errors;
    QCOMPARE(run({"--release", release, "--out", release + "-out", "--server-version", "1",
                  "--launcher-version", "1.4.0"},
                 &errors),
             0);
    QCOMPARE(errors.contains(name.toUtf8() + " looks like one of the publisher's own hidden names"),
             warned);
}

void TestPublisher::launcher_version_checked_data()
{
    QTest::addColumn<QString>("version");
    QTest::addColumn<int>("exit_code");
    QTest::addColumn<QByteArray>("said");
    QTest::newRow("this build's") << ORVEX_LAUNCHER_VERSION << 0 << QByteArray();
    QTest::newRow("another version") << "1.4" << 0 << QByteArray("will show the update prompt");
    QTest::newRow("a suffix") << "1.4.0-beta" << 2 << QByteArray("is not a version");
    QTest::newRow("a leading v") << "v1.4.0" << 2 << QByteArray("is not a version");
    QTest::newRow("empty") << "" << 2 << QByteArray("is not a version");
    QTest::newRow("a trailing dot") << "1.4." << 2 << QByteArray("is not a version");
}

void TestPublisher::launcher_version_checked()
{
    QFETCH(QString, version);
    QFETCH(int, exit_code);
    QFETCH(QByteArray, said);
    write(release(11) + "/orvex.exe", "game");
    QDir(out(11)).removeRecursively();
    QByteArray errors;
    QCOMPARE(run({"--release", release(11), "--out", out(11), "--server-version", "11",
                  "--launcher-version", version},
                 &errors),
             exit_code);
    if (said.isEmpty())
        QVERIFY2(errors.isEmpty(), errors.constData());
    else
        QVERIFY2(errors.contains(said), errors.constData());
    QCOMPARE(QFile::exists(out(11)), exit_code == 0);
    if (exit_code == 0)
        QVERIFY2(output.startsWith("published 1 file, 4 bytes in "), output.constData());
}

void TestPublisher::lock_file_gone_after_run_data()
{
    QTest::addColumn<QString>("lock");
    QTest::newRow("no lock file") << "none";
    QTest::newRow("stale lock of a killed run") << "stale";
    QTest::newRow("lock held by a running publisher") << "held";
}

// The lock file beside --out lives as long as its run; one left by a killed
// run (its flock gone with the process) is taken over and removed.
void TestPublisher::lock_file_gone_after_run()
{
    QFETCH(QString, lock);
    write(release(12) + "/orvex.exe", "game");
    QDir(out(12)).removeRecursively();
    const QString lock_path = dir.filePath(".out12.publish-lock");
    QFile lock_file(lock_path);
    if (lock != "none") {
        QVERIFY(lock_file.open(QIODevice::WriteOnly));
        lock_file.write("999999\n");
        lock_file.flush();
    }
    if (lock == "held")
        QCOMPARE(::flock(lock_file.handle(), LOCK_EX | LOCK_NB), 0);
    QByteArray errors;
    const int status = publish(12, {}, &errors);
    if (lock == "held") {
        QCOMPARE(status, 1);
        QVERIFY2(errors.contains("another publisher (pid 999999)"), errors.constData());
        QVERIFY(!QFile::exists(out(12)));
        lock_file.close();
        QVERIFY(QFile::remove(lock_path));
        return;
    }
    QCOMPARE(status, 0);
    lock_file.close();
    QVERIFY(!QFile::exists(lock_path));
    QCOMPARE(check(out(12)), 0);
}

QTEST_GUILESS_MAIN(TestPublisher)
#include "tst_publisher.moc"
