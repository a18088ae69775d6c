#include "hash_text.h"
#include "patch_format.h"
#include "test_files.h"
#include "test_paths.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtEndian>
#include <QtTest>

#include <zstd.h>

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

// A program-like file: functions of code-like bytes that call each other
// with x86 relative calls (E8 and the distance to the target). grow[i] bytes
// more in function i move every later function, so every call that crosses
// a grown function gets other bytes, as when a program is rebuilt.
QByteArray program(const QVector<int> &grow)
{
    const int functions = grow.size();
    QRandomGenerator generator(21);
    QVector<QByteArray> bodies;
    QVector<QVector<int>> calls; // per function: callee of each call
    for (int f = 0; f < functions; ++f) {
        QByteArray body;
        QVector<int> callees;
        const int length = 200 + int(generator.bounded(400));
        while (body.size() < length) {
            if (generator.bounded(8) == 0) {
                body += char(0xE8) + QByteArray(4, '\0');
                callees.append(int(generator.bounded(functions)));
            } else {
                body += char(0x40 + generator.bounded(48)); // no E8 among these
            }
        }
        bodies.append(body + QByteArray(grow[f], char(0x90)));
        calls.append(callees);
    }
    QVector<int> starts;
    QByteArray image;
    for (const QByteArray &body : bodies) {
        starts.append(image.size());
        image += body;
    }
    for (int f = 0; f < functions; ++f) {
        int call = 0;
        for (int at = starts[f]; at < starts[f] + bodies[f].size() - grow[f]; ++at) {
            if (uchar(image[at]) != 0xE8)
                continue;
            qToLittleEndian<qint32>(starts[calls[f][call++]] - (at + 5), image.data() + at + 1);
            at += 4;
        }
    }
    return image;
}

// Frames a version 2 body from raw parts: the control list, the differences
// and the new bytes, each in a zstd frame (the new bytes without the old
// content as prefix, which is allowed).
QByteArray diff_patch(const QByteArray &old_data, const QByteArray &result, qint64 result_size,
                      const QByteArray &control, const QByteArray &differences,
                      const QByteArray &fresh)
{
    const auto frame = [](const QByteArray &content) {
        QByteArray out(int(ZSTD_compressBound(std::size_t(content.size()))), '\0');
        out.resize(int(ZSTD_compress(out.data(), std::size_t(out.size()), content.constData(),
                                     std::size_t(content.size()), 3)));
        return out;
    };
    PatchHeader header;
    header.source_hash = hash_text(old_data).toStdString();
    header.result_hash = hash_text(result).toStdString();
    header.source_size = std::uint64_t(old_data.size());
    header.result_size = std::uint64_t(result_size);
    const QByteArray control_frame = frame(control);
    const QByteArray difference_frame = frame(differences);
    QByteArray sizes(16, '\0');
    qToLittleEndian<quint64>(quint64(control_frame.size()), sizes.data());
    qToLittleEndian<quint64>(quint64(difference_frame.size()), sizes.data() + 8);
    return QByteArray::fromStdString(header.encode()) + sizes + control_frame + difference_frame +
        frame(fresh);
}

} // namespace

class TestPatcher : public QObject
{
    Q_OBJECT

private slots:
    void round_trip_data();
    void round_trip();
    void rebuilt_program_patch_smaller_than_plain();
    void wrong_source_refused_target_untouched();
    void damaged_patch_refused_target_untouched_data();
    void damaged_patch_refused_target_untouched();
    void hostile_control_list_refused_data();
    void hostile_control_list_refused();
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
    QTest::addColumn<bool>("plain"); // a version 1 patch, as earlier publishers made

    const QByteArray random = random_bytes(1 << 20, 1);
    QByteArray edited = random;
    edited.insert(1000, random_bytes(5000, 2));
    edited.remove(500000, 20000);
    edited.replace(800000, 64, QByteArray(64, 'x'));
    QVector<int> grow(300, 0);
    grow[10] = 3;
    const QByteArray rebuilt = program(grow);
    for (const bool plain : {false, true}) {
        const QByteArray name = plain ? "version 1, " : "";
        QTest::newRow(name + "random with edits") << random << edited << plain;
        QTest::newRow(name + "text lines") << text_lines(40000, 0) << text_lines(42000, 5) << plain;
        QTest::newRow(name + "empty to content") << QByteArray() << text_lines(100, 1) << plain;
        QTest::newRow(name + "content to empty") << text_lines(100, 1) << QByteArray() << plain;
        QTest::newRow(name + "unchanged") << random << random << plain;
        QTest::newRow(name + "program") << program(QVector<int>(300, 0)) << rebuilt << plain;
    }
}

void TestPatcher::round_trip()
{
    QFETCH(QByteArray, old_data);
    QFETCH(QByteArray, new_data);
    QFETCH(bool, plain);
    QByteArray patch;
    const PatchResult made = plain ? make_plain_patch(old_data, new_data, &patch)
                                   : make_patch(old_data, new_data, &patch);
    QVERIFY2(made.ok, made.message.c_str());

    PatchHeader header;
    QVERIFY(PatchHeader::decode(patch.constData(), std::size_t(patch.size()), &header));
    QCOMPARE(header.version, plain ? PatchHeader::PLAIN_VERSION : PatchHeader::DIFF_VERSION);
    QCOMPARE(QString::fromStdString(header.source_hash), hash_text(old_data));
    QCOMPARE(QString::fromStdString(header.result_hash), hash_text(new_data));

    QVERIFY(write_file(path("target"), old_data));
    QVERIFY(write_file(path("patch"), patch));
    const PatchResult applied = apply_patch_file(path("patch"), path("target"));
    QVERIFY2(applied.ok, applied.message.c_str());
    QVERIFY(read_file(path("target")) == new_data);
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({"patch", "target"}));
}

void TestPatcher::rebuilt_program_patch_smaller_than_plain()
{
    const QByteArray old_data = program(QVector<int>(2000, 0));
    QVector<int> grow(2000, 0);
    for (int f = 50; f < 2000; f += 400)
        grow[f] = 7; // a few functions grow, and everything after them moves
    const QByteArray new_data = program(grow);
    QByteArray patch;
    QByteArray plain;
    QVERIFY(make_patch(old_data, new_data, &patch).ok);
    QVERIFY(make_plain_patch(old_data, new_data, &plain).ok);
    QVERIFY2(patch.size() < plain.size() * 3 / 4,
             qPrintable(QStringLiteral("%1 against %2 bytes").arg(patch.size()).arg(plain.size())));

    QVERIFY(write_file(path("target"), old_data));
    QVERIFY(write_file(path("patch"), patch));
    const PatchResult applied = apply_patch_file(path("patch"), path("target"));
    QVERIFY2(applied.ok, applied.message.c_str());
    QVERIFY(read_file(path("target")) == new_data);
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
    QTest::newRow("unknown version") << -1 << 8 << int(PatchError::Corrupt);
    QTest::newRow("control size damaged")
        << -1 << PatchHeader::SIZE + 7 << int(PatchError::Corrupt);
    QTest::newRow("difference size damaged")
        << -1 << PatchHeader::SIZE + 8 << int(PatchError::Corrupt);
    QTest::newRow("control frame byte flipped")
        << -1 << PatchHeader::SIZE + 20 << int(PatchError::Corrupt);
    QTest::newRow("last byte flipped") << -1 << -2 << int(PatchError::Corrupt);
    QTest::newRow("result hash damaged") << -1 << 19 << int(PatchError::Corrupt);
    QTest::newRow("source hash damaged") << -1 << 12 << int(PatchError::WrongSource);
}

void TestPatcher::damaged_patch_refused_target_untouched()
{
    QFETCH(int, keep);
    QFETCH(int, flip_at);
    QFETCH(int, expected);
    // A rebuilt program, so that the patch has copies and differences.
    const QByteArray old_data = program(QVector<int>(600, 0));
    QVector<int> grow(600, 0);
    grow[100] = 5;
    const QByteArray new_data = program(grow);
    QByteArray patch;
    QVERIFY(make_patch(old_data, new_data, &patch).ok);
    QVERIFY(patch.size() > PatchHeader::SIZE + 100);
    if (keep == -2)
        patch.truncate(PatchHeader::SIZE + (patch.size() - PatchHeader::SIZE) / 2);
    else if (keep == -3)
        patch.chop(1);
    else if (keep >= 0)
        patch.truncate(keep);
    if (flip_at == -2)
        flip_at = patch.size() - 1;
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

// Hand-made bodies with valid frames whose control lists do not fit the
// contents: each is refused as damaged and the target stays as it was. The
// first row, one exact copy of the first ten bytes, shows that such a body
// is read at all.
void TestPatcher::hostile_control_list_refused_data()
{
    QTest::addColumn<QByteArray>("control"); // LEB128 numbers: gap, length, old offset
    QTest::addColumn<int>("differences"); // zero bytes in the difference frame
    QTest::addColumn<int>("result_size"); // of 100 old bytes

    QTest::newRow("valid") << QByteArray("\x00\x0a\x00", 3) << 10 << 10;
    QTest::newRow("copy past the old end") << QByteArray("\x00\x0a\xb6\x01", 4) << 10 << 10;
    QTest::newRow("copy before the old start") << QByteArray("\x00\x0a\x01", 3) << 10 << 10;
    QTest::newRow("copy past the result end") << QByteArray("\x05\x0a\x00", 3) << 10 << 12;
    QTest::newRow("empty copy") << QByteArray("\x00\x00\x00", 3) << 0 << 10;
    QTest::newRow("fewer differences than copied") << QByteArray("\x00\x0a\x00", 3) << 9 << 10;
    QTest::newRow("more differences than copied") << QByteArray("\x00\x0a\x00", 3) << 11 << 12;
    QTest::newRow("number cut off") << QByteArray("\x00\x0a\x80", 3) << 10 << 10;
    QTest::newRow("number over 64 bits")
        << QByteArray("\x00\x0a\xff\xff\xff\xff\xff\xff\xff\xff\xff\x7f", 12) << 10 << 10;
    QTest::newRow("old offset wraps around")
        << QByteArray("\x00\x0a\xfe\xff\xff\xff\xff\xff\xff\xff\xff\x01", 12) << 10 << 10;
}

void TestPatcher::hostile_control_list_refused()
{
    QFETCH(QByteArray, control);
    QFETCH(int, differences);
    QFETCH(int, result_size);
    const QByteArray old_data = random_bytes(100, 3);
    const QByteArray fresh(qMax(0, result_size - differences), 'n');
    QVERIFY(write_file(path("target"), old_data));
    // What a copy of the first bytes at the same place would give.
    const QByteArray result = old_data.left(differences) + fresh;
    QVERIFY(write_file(
        path("patch"),
        diff_patch(old_data, result, result_size, control, QByteArray(differences, '\0'), fresh)));

    const PatchResult applied = apply_patch_file(path("patch"), path("target"));
    if (QByteArray(QTest::currentDataTag()) == "valid") {
        QVERIFY2(applied.ok, applied.message.c_str());
        QVERIFY(read_file(path("target")) == result);
        return;
    }
    QVERIFY(!applied.ok);
    QCOMPARE(applied.error, PatchError::Corrupt);
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
    QVERIFY2(made.ok, made.message.c_str());
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
