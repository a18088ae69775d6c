#include "download/archive_extractor.h"
#include "updater/patch_name.h"
#include "updater/patch_planner.h"
#include "updater/safe_path.h"

#include "hash_text.h"
#include "patch_names.h"
#include "test_paths.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <bzlib.h>

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
    void patch_names_parse_back_and_apply();
    void chain_over_three_versions();
    void unchanged_file_not_recompressed();
    void hostile_release_name_refused_data();
    void hostile_release_name_refused();
    void patch_names_stay_plain_and_distinct();

private:
    int publish(int n, const QStringList &extra, QByteArray *errors = nullptr);
    QJsonObject manifest(int n) const;
    QString release(int n) const { return dir.filePath(QString("v%1").arg(n)); }
    QString out(int n) const { return dir.filePath(QString("out%1").arg(n)); }

    QTemporaryDir dir;
};

int TestPublisher::publish(int n, const QStringList &extra, QByteArray *errors)
{
    QProcess process;
    process.start(bin_dir() + "/publisher",
                  QStringList {"--release", release(n), "--out", out(n), "--server-version",
                               QString("1.%1").arg(n), "--launcher-version", "1.4.0", "--jobs",
                               "2"} +
                      extra);
    if (!process.waitForFinished(120000))
        return -1;
    if (errors)
        *errors = process.readAllStandardError();
    return process.exitCode();
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
        QVERIFY(entry.value("patches").isArray());
    }
}

void TestPublisher::archives_extract_with_launcher_code()
{
    for (auto [key, data] : version(1).toStdMap()) {
        const QString target = dir.filePath("extracted");
        const ExtractOutcome outcome = extract_archive(out(1) + "/" + key + ".bz2", target);
        QCOMPARE(outcome.code, 0);
        QVERIFY2(read(target) == data, qPrintable(key));
    }
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
}

void TestPublisher::hostile_release_name_refused()
{
    QFETCH(QString, name);
    write(release(4) + "/data/" + name, "x");
    write(release(4) + "/orvex.exe", "game");
    QByteArray errors;
    QCOMPARE(publish(4, {}, &errors), 1);
    QVERIFY2(errors.contains(("data/" + name).toUtf8()), errors.constData());
    QVERIFY(!QFile::exists(out(4) + "/patcher.json"));
    QDir(release(4)).removeRecursively();
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

QTEST_GUILESS_MAIN(TestPublisher)
#include "tst_publisher.moc"
