#include "hash_text.h"
#include "patch_format.h"
#include "test_paths.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray random_bytes(int size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32 *>(data.data()), size / 4);
    for (int i = size / 4 * 4; i < size; ++i)
        data[i] = char(generator.generate());
    return data;
}

// Text lines like a configuration or script file, so matches are short and
// frequent rather than long runs.
QByteArray text_lines(int count, int variant)
{
    QByteArray text;
    for (int i = 0; i < count; ++i)
        text += QByteArray("entry_") + QByteArray::number(i) + " = " +
            QByteArray::number((i * 7919 + (i % 13 == 0 ? variant : 0)) % 100003) + "\n";
    return text;
}

bool write_file(const QString &path, const QByteArray &data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

QByteArray read_file(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

class TestPatcher : public QObject
{
    Q_OBJECT

private slots:
    void round_trip_data();
    void round_trip();
    void wrong_source_refused_target_untouched();
    void damaged_patch_refused_target_untouched_data();
    void damaged_patch_refused_target_untouched();
    void file_over_128_mib_needs_raised_window();
    void program_exit_status_data();
    void program_exit_status();

private:
    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }
};

void TestPatcher::round_trip_data()
{
    QTest::addColumn<QByteArray>("old_data");
    QTest::addColumn<QByteArray>("new_data");

    const QByteArray random = random_bytes(1 << 20, 1);
    QByteArray edited = random;
    edited.insert(1000, random_bytes(5000, 2));
    edited.remove(500000, 20000);
    edited.replace(800000, 64, QByteArray(64, 'x'));
    QTest::newRow("random with edits") << random << edited;
    QTest::newRow("text lines") << text_lines(40000, 0) << text_lines(42000, 5);
    QTest::newRow("empty to content") << QByteArray() << text_lines(100, 1);
    QTest::newRow("content to empty") << text_lines(100, 1) << QByteArray();
    QTest::newRow("unchanged") << random << random;
}

void TestPatcher::round_trip()
{
    QFETCH(QByteArray, old_data);
    QFETCH(QByteArray, new_data);
    QByteArray patch;
    const PatchResult made = make_patch(old_data, new_data, &patch);
    QVERIFY2(made.ok, qPrintable(made.message));

    PatchHeader header;
    QVERIFY(PatchHeader::decode(patch.constData(), std::size_t(patch.size()), &header));
    QCOMPARE(QString::fromLatin1(header.source_hash), hash_text(old_data));
    QCOMPARE(QString::fromLatin1(header.result_hash), hash_text(new_data));

    QVERIFY(write_file(path("target"), old_data));
    QVERIFY(write_file(path("patch"), patch));
    const PatchResult applied = apply_patch_file(path("patch"), path("target"));
    QVERIFY2(applied.ok, qPrintable(applied.message));
    QVERIFY(read_file(path("target")) == new_data);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({"patch", "target"}));
}

void TestPatcher::wrong_source_refused_target_untouched()
{
    const QByteArray old_data = text_lines(5000, 0);
    QByteArray patch;
    QVERIFY(make_patch(old_data, text_lines(5000, 3), &patch).ok);
    QByteArray other = old_data;
    other[100] = '#'; // same size, other content
    QVERIFY(write_file(path("target"), other));
    QVERIFY(write_file(path("patch"), patch));

    const PatchResult applied = apply_patch_file(path("patch"), path("target"));
    QVERIFY(!applied.ok);
    QCOMPARE(applied.error, PatchError::WrongSource);
    QVERIFY(read_file(path("target")) == other);
}

void TestPatcher::damaged_patch_refused_target_untouched_data()
{
    QTest::addColumn<int>("keep"); // bytes of the patch kept, -1: all
    QTest::addColumn<int>("flip_at"); // byte inverted, -1: none
    QTest::addColumn<int>("expected"); // PatchError
    QTest::newRow("header only") << PatchHeader::SIZE << -1 << int(PatchError::Corrupt);
    QTest::newRow("half") << -2 << -1 << int(PatchError::Corrupt);
    QTest::newRow("last byte missing") << -3 << -1 << int(PatchError::Corrupt);
    QTest::newRow("shorter than header") << 10 << -1 << int(PatchError::Corrupt);
    QTest::newRow("magic damaged") << -1 << 0 << int(PatchError::Corrupt);
    QTest::newRow("frame byte flipped") << -1 << PatchHeader::SIZE + 40 << int(PatchError::Corrupt);
}

void TestPatcher::damaged_patch_refused_target_untouched()
{
    QFETCH(int, keep);
    QFETCH(int, flip_at);
    QFETCH(int, expected);
    const QByteArray old_data = random_bytes(300000, 7);
    QByteArray new_data = old_data;
    new_data.insert(150000, random_bytes(3000, 8));
    QByteArray patch;
    QVERIFY(make_patch(old_data, new_data, &patch).ok);
    if (keep == -2)
        patch.truncate(PatchHeader::SIZE + (patch.size() - PatchHeader::SIZE) / 2);
    else if (keep == -3)
        patch.chop(1);
    else if (keep >= 0)
        patch.truncate(keep);
    if (flip_at >= 0)
        patch[flip_at] = char(~patch[flip_at]);
    QVERIFY(write_file(path("target"), old_data));
    QVERIFY(write_file(path("patch"), patch));

    const PatchResult applied = apply_patch_file(path("patch"), path("target"));
    QVERIFY(!applied.ok);
    QCOMPARE(int(applied.error), expected);
    QVERIFY(read_file(path("target")) == old_data);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({"patch", "target"}));
}

// The decoder's default window limit is 128 MiB; a patch whose new content
// refers back to the start of a larger old file only applies when the limit
// is raised to the file's size.
void TestPatcher::file_over_128_mib_needs_raised_window()
{
    const int size = 136 << 20;
    QByteArray old_data = random_bytes(size, 11);
    QByteArray new_data = old_data;
    new_data.replace(size / 2, 4096, random_bytes(4096, 12));
    new_data.append(old_data.left(1 << 20)); // reaches back the whole file
    QVERIFY(write_file(path("old"), old_data));
    QVERIFY(write_file(path("new"), new_data));
    old_data.clear();
    const PatchResult made = make_patch_file(path("old"), path("new"), path("patch"), 1);
    QVERIFY2(made.ok, qPrintable(made.message));
    QVERIFY2(QFileInfo(path("patch")).size() < 200000, "the old file was not used as reference");

    QCOMPARE(QProcess::execute(bin_dir() + "/patcher.exe", {path("patch"), path("old")}), 0);
    QCOMPARE(file_hash_text(path("old")), hash_text(new_data));
    for (const char *name : {"old", "new", "patch"})
        QFile::remove(path(name));
}

void TestPatcher::program_exit_status_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::newRow("applied") << QStringList {"patch", "target"} << 0;
    QTest::newRow("no arguments") << QStringList {} << 2;
    QTest::newRow("three arguments") << QStringList {"patch", "target", "x"} << 2;
    QTest::newRow("missing patch") << QStringList {"absent", "target"} << 3;
    QTest::newRow("missing target") << QStringList {"patch", "absent"} << 3;
    QTest::newRow("wrong source") << QStringList {"patch", "other"} << 4;
    QTest::newRow("not a patch") << QStringList {"other", "target"} << 5;
}

void TestPatcher::program_exit_status()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    const QByteArray old_data = text_lines(3000, 0);
    const QByteArray new_data = text_lines(3100, 9);
    QByteArray patch;
    QVERIFY(make_patch(old_data, new_data, &patch).ok);
    QVERIFY(write_file(path("patch"), patch));
    QVERIFY(write_file(path("target"), old_data));
    QVERIFY(write_file(path("other"), "unrelated"));

    QProcess process;
    process.setWorkingDirectory(dir.path());
    process.start(bin_dir() + "/patcher.exe", arguments);
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), status);
    const QByteArray error_output = process.readAllStandardError();
    QVERIFY(process.readAllStandardOutput().isEmpty());
    if (status == 0) {
        QVERIFY(error_output.isEmpty());
        QVERIFY(read_file(path("target")) == new_data);
    } else {
        QCOMPARE(error_output.count('\n'), 1);
        QVERIFY(error_output.endsWith('\n'));
        QVERIFY(read_file(path("target")) == old_data);
    }
}

QTEST_GUILESS_MAIN(TestPatcher)
#include "tst_patcher.moc"
