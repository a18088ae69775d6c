#include "branch_filter.h"
#include "copy_difference.h"
#include "diff_body_format.h"
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

// Game-like data: records of a few numbers and a name. Where updated, every
// seventh record's counter grows by one and every hundredth record is
// followed by a new one with other numbers and names.
QByteArray records(int count, bool updated)
{
    static const char *const words[] = {"iron", "sword", "of", "the", "north", "ember",
                                        "shield", "old", "king", "river", "stone", "blade"};
    QRandomGenerator generator(7);
    QRandomGenerator fresh(8);
    QByteArray data;
    const auto put = [&data](QRandomGenerator *from, quint32 counter) {
        const quint32 numbers[] = {counter, from->bounded(1000u), from->bounded(50u)};
        data.append(reinterpret_cast<const char *>(numbers), sizeof numbers);
        for (int w = 0; w < 3; ++w)
            data += QByteArray(words[from->bounded(12)]) + ' ';
        data += '\n';
    };
    for (int i = 0; i < count; ++i) {
        put(&generator, quint32(i) + (updated && i % 7 == 0 ? 1 : 0));
        if (updated && i % 100 == 0)
            put(&fresh, quint32(count + i));
    }
    return data;
}

// A program-like file: functions of code-like bytes that call each other
// with x86 relative calls (E8 and the distance to the target). grow[i] bytes
// more in function i move every later function, so every call that crosses
// a grown function gets other bytes, as when a program is rebuilt. With
// targets, every call goes to one of the first targets functions, as calls
// into a table of library stubs do.
QByteArray program(const QVector<int> &grow, int targets = 0)
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
                callees.append(int(generator.bounded(targets ? targets : functions)));
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

// program() calling its first 20 functions, and then tail, in a 64-bit
// x86-64 ELF file whose one loadable segment, all of it up to the end of the
// file, is executable.
QByteArray elf_program(const QVector<int> &grow, const QByteArray &tail = QByteArray())
{
    const QByteArray code = program(grow, 20) + tail;
    uchar file[120] = {0x7f, 'E', 'L', 'F', 2, 1};
    qToLittleEndian<quint16>(62, file + 18); // x86-64
    qToLittleEndian<quint64>(64, file + 32); // program headers
    qToLittleEndian<quint16>(56, file + 54);
    qToLittleEndian<quint16>(1, file + 56);
    qToLittleEndian<quint32>(1, file + 64); // loadable
    qToLittleEndian<quint32>(5, file + 68); // readable, executable
    qToLittleEndian<quint64>(sizeof file, file + 72);
    qToLittleEndian<quint64>(quint64(code.size()), file + 96);
    return QByteArray(reinterpret_cast<const char *>(file), int(sizeof file)) + code;
}

// Frames a version 2 body from raw parts: the control list, the differences
// and the new bytes, each in a zstd frame (the new bytes without the old
// content as prefix, which is allowed).
// With a version 3 prefix, the differences are given already in their zero
// runs coding and framed as such.
QByteArray diff_patch(const QByteArray &old_data, const QByteArray &result, qint64 result_size,
                      const QByteArray &control, const QByteArray &differences,
                      const QByteArray &fresh, const QByteArray &prefix = QByteArray())
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
    QByteArray difference_frame = frame(differences);
    if (!prefix.isEmpty()) {
        header.version = PatchHeader::CODE_VERSION;
        QByteArray length(8, '\0');
        qToLittleEndian<quint64>(quint64(differences.size()), length.data());
        difference_frame.prepend(length);
    }
    QByteArray sizes(16, '\0');
    qToLittleEndian<quint64>(quint64(control_frame.size()), sizes.data());
    qToLittleEndian<quint64>(quint64(difference_frame.size()), sizes.data() + 8);
    return QByteArray::fromStdString(header.encode()) + prefix + sizes + control_frame +
        difference_frame + frame(fresh);
}

// Differences in the zero runs coding: each zero run as a zero byte and
// its length less one (LEB128).
QByteArray zero_runs(const QByteArray &differences)
{
    QByteArray coded;
    for (int i = 0; i < differences.size();) {
        if (differences[i] != 0) {
            coded += differences[i++];
            continue;
        }
        int run = 0;
        while (i + run < differences.size() && differences[i + run] == 0)
            ++run;
        coded += '\0';
        for (quint64 more = quint64(run - 1);; more >>= 7) {
            coded += char(more >= 0x80 ? (more & 0x7f) | 0x80 : more);
            if (more < 0x80)
                break;
        }
        i += run;
    }
    return coded;
}

} // namespace

class TestPatcher : public QObject
{
    Q_OBJECT

private slots:
    void round_trip_data();
    void round_trip();
    void rebuilt_program_patch_smaller_than_plain();
    void rewritten_code_patch_smaller();
    void wrong_source_refused_target_untouched();
    void damaged_patch_refused_target_untouched_data();
    void damaged_patch_refused_target_untouched();
    void hostile_control_list_refused_data();
    void hostile_control_list_refused();
    void zero_runs_added_in_place_data();
    void zero_runs_added_in_place();
    void code_restored_in_steps_data();
    void code_restored_in_steps();
    void file_over_128_mib_needs_raised_window();
    void program_exit_status_data();
    void program_exit_status();
    void patch_claiming_more_than_its_bound_writes_nothing();

private:
    QTemporaryDir dir;
    QString path(const QString &name) const { return dir.filePath(name); }
};

void TestPatcher::round_trip_data()
{
    QTest::addColumn<QByteArray>("old_data");
    QTest::addColumn<QByteArray>("new_data");
    QTest::addColumn<int>("max_version"); // 1: a plain patch, as early publishers made
    QTest::addColumn<int>("version"); // expected; 0: 2 or 3, whichever is smaller

    const QByteArray random = random_bytes(1 << 20, 1);
    QByteArray edited = random;
    edited.insert(1000, random_bytes(5000, 2));
    edited.remove(500000, 20000);
    edited.replace(800000, 64, QByteArray(64, 'x'));
    QVector<int> grow(300, 0);
    grow[10] = 3;
    const QByteArray rebuilt = program(grow);
    for (const int max_version : {1, 2, 3}) {
        const QByteArray name = "up to version " + QByteArray::number(max_version) + ", ";
        const int version = max_version < 3 ? max_version : 0;
        QTest::newRow(name + "random with edits") << random << edited << max_version << version;
        QTest::newRow(name + "text lines")
            << text_lines(40000, 0) << text_lines(42000, 5) << max_version << version;
        QTest::newRow(name + "empty to content")
            << QByteArray() << text_lines(100, 1) << max_version << version;
        QTest::newRow(name + "content to empty")
            << text_lines(100, 1) << QByteArray() << max_version << version;
        QTest::newRow(name + "unchanged") << random << random << max_version << version;
        QTest::newRow(name + "program")
            << program(QVector<int>(300, 0)) << rebuilt << max_version << version;
    }
    // Executables whose code is rewritten before diffing. Call-like bytes
    // at the very end of the code and the file, with operands cut off, must
    // come back as they were.
    const QByteArray calls_at_end = QByteArray("\xe8\x01\x02\x03\xe8\xff\xff\xe8\x48\x8d", 10);
    const QByteArray base = elf_program(QVector<int>(300, 0));
    QTest::newRow("executable rebuilt") << base << elf_program(grow) << 3 << 3;
    QTest::newRow("executable, code ends in cut-off calls")
        << elf_program(QVector<int>(300, 0), calls_at_end)
        << elf_program(grow, calls_at_end + calls_at_end) << 3 << 3;
    // Few and small differences and new bytes: both coded with xz.
    QTest::newRow("game records, inserted")
        << records(40000, false) << records(40000, true) << 3 << 3;
    QTest::newRow("executable to empty") << base << QByteArray() << 3 << 0;
    QTest::newRow("empty to executable") << QByteArray() << base << 3 << 0;
    QTest::newRow("header of an executable only")
        << base.left(120) << elf_program(grow).left(121) << 3 << 0;
}

void TestPatcher::round_trip()
{
    QFETCH(QByteArray, old_data);
    QFETCH(QByteArray, new_data);
    QFETCH(int, max_version);
    QFETCH(int, version);
    QByteArray patch;
    const PatchResult made = max_version == 1
        ? make_plain_patch(old_data, new_data, &patch)
        : make_patch(old_data, new_data, &patch, DEFAULT_PATCH_LEVEL, std::uint32_t(max_version));
    QVERIFY2(made.ok, made.message.c_str());

    PatchHeader header;
    QVERIFY(PatchHeader::decode(patch.constData(), std::size_t(patch.size()), &header));
    if (version != 0)
        QCOMPARE(int(header.version), version);
    QVERIFY(header.version >= 1 && int(header.version) <= max_version);
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

// Rewriting the calls of an executable's code makes a rebuild's patch
// clearly smaller than diffing the bytes as they are.
void TestPatcher::rewritten_code_patch_smaller()
{
    const QByteArray old_data = elf_program(QVector<int>(2000, 0));
    QVector<int> grow(2000, 0);
    for (int f = 50; f < 2000; f += 100)
        grow[f] = 7;
    const QByteArray new_data = elf_program(grow);
    QByteArray patch;
    QByteArray version2;
    QVERIFY(make_patch(old_data, new_data, &patch).ok);
    QVERIFY(make_patch(old_data, new_data, &version2, DEFAULT_PATCH_LEVEL, 2).ok);
    QVERIFY2(
        patch.size() < version2.size() * 3 / 4,
        qPrintable(QStringLiteral("%1 against %2 bytes").arg(patch.size()).arg(version2.size())));
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
    QTest::addColumn<int>("version");
    QTest::addColumn<int>("keep"); // bytes of the patch kept, -1: all
    // Byte inverted, -1: none; an offset as in a version 2 patch (moved past
    // the prefix in version 3).
    QTest::addColumn<int>("flip_at");
    QTest::addColumn<int>("expected"); // PatchError
    const int body = PatchHeader::SIZE;
    for (const int version : {2, 3}) {
        const QByteArray name = "version " + QByteArray::number(version) + ", ";
        QTest::newRow(name + "header only") << version << body << -1 << int(PatchError::Corrupt);
        QTest::newRow(name + "half") << version << -2 << -1 << int(PatchError::Corrupt);
        QTest::newRow(name + "last byte missing")
            << version << -3 << -1 << int(PatchError::Corrupt);
        QTest::newRow(name + "shorter than header")
            << version << 10 << -1 << int(PatchError::Corrupt);
        QTest::newRow(name + "magic damaged") << version << -1 << 0 << int(PatchError::Corrupt);
        QTest::newRow(name + "frame byte flipped")
            << version << -1 << body + 40 << int(PatchError::Corrupt);
        QTest::newRow(name + "unknown version") << version << -1 << 8 << int(PatchError::Corrupt);
        QTest::newRow(name + "control size damaged")
            << version << -1 << body + 7 << int(PatchError::Corrupt);
        QTest::newRow(name + "difference size damaged")
            << version << -1 << body + 8 << int(PatchError::Corrupt);
        QTest::newRow(name + "control frame byte flipped")
            << version << -1 << body + 20 << int(PatchError::Corrupt);
        QTest::newRow(name + "last byte flipped")
            << version << -1 << -2 << int(PatchError::Corrupt);
        QTest::newRow(name + "result hash damaged")
            << version << -1 << 19 << int(PatchError::Corrupt);
        QTest::newRow(name + "source hash damaged")
            << version << -1 << 12 << int(PatchError::WrongSource);
    }
    // The version 3 prefix: an unknown filter or coder, ranges beyond the
    // files, and the zero runs' length (the first bytes after the frames'
    // sizes and the control frame). Rows at or past the prefix's end are
    // shifted past it; these name bytes of the prefix itself (flip_at - 1000).
    for (const int at : {0, 1, 2, 3, 11, 19, 27, 35})
        QTest::newRow(qPrintable(QStringLiteral("version 3, prefix byte %1").arg(at)))
            << 3 << -1 << 1000 + at << int(PatchError::Corrupt);
    QTest::newRow("version 3, zero runs length damaged")
        << 3 << -1 << -4 << int(PatchError::Corrupt);
}

void TestPatcher::damaged_patch_refused_target_untouched()
{
    QFETCH(int, version);
    QFETCH(int, keep);
    QFETCH(int, flip_at);
    QFETCH(int, expected);
    // A rebuilt program (an executable for version 3), so that the patch
    // has copies and differences.
    QVector<int> grow(600, 0);
    grow[100] = 5;
    const QByteArray old_data =
        version == 3 ? elf_program(QVector<int>(600, 0)) : program(QVector<int>(600, 0));
    QByteArray new_data = version == 3 ? elf_program(grow) : program(grow);
    for (int at = 1000; at < new_data.size(); at += 500)
        new_data[at] = char(new_data[at] ^ 0x55); // differences in the copies
    QByteArray patch;
    QVERIFY(make_patch(old_data, new_data, &patch, DEFAULT_PATCH_LEVEL, std::uint32_t(version)).ok);
    PatchHeader header;
    QVERIFY(PatchHeader::decode(patch.constData(), std::size_t(patch.size()), &header));
    QCOMPARE(int(header.version), version);
    const int prefix = version == 3 ? CODE_PREFIX_SIZE : 0;
    QVERIFY(patch.size() > PatchHeader::SIZE + prefix + 100);
    if (keep == -2)
        patch.truncate(PatchHeader::SIZE + (patch.size() - PatchHeader::SIZE) / 2);
    else if (keep == -3)
        patch.chop(1);
    else if (keep >= 0)
        patch.truncate(keep);
    if (flip_at == -2)
        flip_at = patch.size() - 1;
    else if (flip_at == -4) // the zero runs frame's length, after the control frame
        flip_at = PatchHeader::SIZE + prefix + 16 +
            int(qFromLittleEndian<quint64>(patch.constData() + PatchHeader::SIZE + prefix)) + 3;
    else if (flip_at >= 1000)
        flip_at = PatchHeader::SIZE + flip_at - 1000;
    else if (flip_at >= PatchHeader::SIZE)
        flip_at += prefix;
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

void TestPatcher::zero_runs_added_in_place_data()
{
    QTest::addColumn<bool>("words");
    QTest::addColumn<QByteArray>("tail"); // appended to the coded differences
    QTest::addColumn<int>("cut"); // coded bytes dropped at the end
    for (const bool words : {false, true}) {
        const QByteArray name = words ? "by words, " : "by bytes, ";
        QTest::newRow(name + "valid") << words << QByteArray() << 0;
        QTest::newRow(name + "one zero more") << words << QByteArray(2, '\0') << 0;
        QTest::newRow(name + "a byte more") << words << QByteArray("\x07") << 0;
        QTest::newRow(name + "last run cut off") << words << QByteArray() << 2;
    }
    QTest::newRow("run of 2^64 zeros")
        << true << QByteArray("\x00\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01", 11) << 0;
}

// Two copies, the first starting off a word boundary, the second from
// further on in the old content, with changes that carry across bytes of a
// word and runs of zeros that reach from one copy into the next.
void TestPatcher::zero_runs_added_in_place()
{
    QFETCH(bool, words);
    QFETCH(QByteArray, tail);
    QFETCH(int, cut);
    const QByteArray old_data = random_bytes(64, 7);
    QByteArray copies = old_data.mid(0, 21) + old_data.mid(30, 16);
    for (const int at : {1, 5, 6, 9, 20, 21, 36}) // 20 and 21 end and start a copy
        copies[at] = char(copies[at] + (at % 2 ? 0x7f : 0x81));
    const QByteArray result = "abc" + copies + "xyz";
    QByteArray differences(copies.size(), '\0');
    const auto *old_bytes = reinterpret_cast<const std::uint8_t *>(old_data.constData());
    CopyDifference::subtract(reinterpret_cast<std::uint8_t *>(differences.data()),
                             reinterpret_cast<const std::uint8_t *>(copies.constData()), old_bytes,
                             3, 21, words);
    CopyDifference::subtract(reinterpret_cast<std::uint8_t *>(differences.data()) + 21,
                             reinterpret_cast<const std::uint8_t *>(copies.constData()) + 21,
                             old_bytes + 30, 24, 16, words);
    QByteArray coded = zero_runs(differences) + tail;
    coded.chop(cut);
    QByteArray prefix(CODE_PREFIX_SIZE, '\0');
    prefix[1] = char(DifferenceCoder::ZeroRunsZstd);
    prefix[3] = char(words ? 1 : 0);
    // Copies: 3 new bytes, then 21 from old offset 0; none, then 16 from 30.
    const QByteArray control("\x03\x15\x00\x00\x10\x12", 6);
    QVERIFY(write_file(path("target"), old_data));
    QVERIFY(
        write_file(path("patch"),
                   diff_patch(old_data, result, result.size(), control, coded, "abcxyz", prefix)));

    const PatchResult applied = apply_patch_file(path("patch"), path("target"));
    if (QByteArray(QTest::currentDataTag()).endsWith("valid")) {
        QVERIFY2(applied.ok, applied.message.c_str());
        QVERIFY(read_file(path("target")) == result);
    } else {
        QVERIFY(!applied.ok);
        QCOMPARE(applied.error, PatchError::Corrupt);
        QVERIFY(read_file(path("target")) == old_data);
    }
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList({"patch", "target"}));
}

void TestPatcher::code_restored_in_steps_data()
{
    QTest::addColumn<QByteArray>("code");
    QTest::addColumn<int>("step"); // bytes built between two steps; 0: random
    QVector<int> grow(300, 0);
    grow[7] = 5;
    // Code-like bytes dense with the opcodes and operands the rewrite looks
    // at, so operands straddle every step's end.
    QByteArray dense = random_bytes(200000, 8);
    const char opcodes[] = {'\xe8', '\xff', '\x15', '\x25', '\x48', '\x8d', '\x05', '\x00'};
    QRandomGenerator generator(9);
    for (int i = 0; i < dense.size(); i += 2)
        dense[i] = opcodes[generator.bounded(8)];
    for (const int step : {1, 7, 8, 33, 4096, 0}) {
        const QByteArray name = "step " + QByteArray::number(step);
        QTest::newRow(name + ", program") << elf_program(grow) << step;
        QTest::newRow(name + ", dense") << dense << step;
    }
}

// The result's code is restored as its bytes are built: in steps, each
// reading no byte past what is built, the same bytes as in one pass.
void TestPatcher::code_restored_in_steps()
{
    QFETCH(QByteArray, code);
    QFETCH(int, step);
    const std::size_t begin = 5;
    const std::size_t end = std::size_t(code.size()) - 3;
    QByteArray whole = code;
    BranchFilter::decode(reinterpret_cast<std::uint8_t *>(whole.data()), begin, end);
    QVERIFY(whole != code);

    // Bytes not built yet are garbage: a step that read them would differ.
    QByteArray steps(code.size(), '\xe8');
    auto *data = reinterpret_cast<std::uint8_t *>(steps.data());
    QRandomGenerator generator(4);
    std::size_t scan = begin;
    for (std::size_t built = 0; built < std::size_t(code.size());) {
        const std::size_t next = std::min<std::size_t>(
            std::size_t(code.size()), built + (step ? step : 1 + generator.bounded(3000)));
        std::memcpy(steps.data() + built, code.constData() + built, next - built);
        built = next;
        if (built >= end)
            scan = BranchFilter::decode_part(data, scan, end, end);
        else if (built >= begin + 7)
            scan = BranchFilter::decode_part(data, scan, built - 7, end);
        QVERIFY(scan <= std::max(built, begin));
        QVERIFY(std::memcmp(steps.constData(), whole.constData(), std::min(scan, built)) == 0);
    }
    QVERIFY(steps == whole);
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
    QTest::newRow("version 3 with an unknown coder") << QStringList {"damaged", "target"} << 5;
    // SIZE: the result's size. With --output the target is only read.
    QTest::newRow("result elsewhere, within its bound")
        << QStringList {"--max-size", "SIZE", "--output", "result", "patch", "target"} << 0;
    QTest::newRow("result larger than its bound")
        << QStringList {"--max-size", "SIZE-1", "--output", "result", "patch", "target"} << 9;
    QTest::newRow("in place, larger than its bound")
        << QStringList {"patch", "target", "--max-size", "SIZE-1"} << 9;
    QTest::newRow("negative bound") << QStringList {"--max-size", "-1", "patch", "target"} << 2;
    QTest::newRow("bound without a number")
        << QStringList {"--max-size", "x", "patch", "target"} << 2;
}

void TestPatcher::program_exit_status()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QVector<int> grow(300, 0);
    grow[30] = 4;
    const QByteArray old_data = elf_program(QVector<int>(300, 0));
    const QByteArray new_data = elf_program(grow);
    QByteArray patch;
    QVERIFY(make_patch(old_data, new_data, &patch).ok);
    QVERIFY(write_file(path("patch"), patch));
    patch[PatchHeader::SIZE + 1] = 7;
    QVERIFY(write_file(path("damaged"), patch));
    QVERIFY(write_file(path("target"), old_data));
    QVERIFY(write_file(path("other"), "unrelated"));
    QFile::remove(path("result"));
    arguments.replaceInStrings("SIZE-1", QString::number(new_data.size() - 1));
    arguments.replaceInStrings("SIZE", QString::number(new_data.size()));
    const bool elsewhere = arguments.contains("--output");

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
        QVERIFY(read_file(path(elsewhere ? "result" : "target")) == new_data);
        QVERIFY(!elsewhere || read_file(path("target")) == old_data);
    } else {
        QCOMPARE(error_output.count('\n'), 1);
        QVERIFY(error_output.endsWith('\n'));
        QVERIFY(read_file(path("target")) == old_data);
        // Nothing of a result is left, not even its temporary file.
        QCOMPARE(QDir(dir.path()).entryList({"result*", "target.*"}, QDir::Files), QStringList());
    }
}

// A small patch that makes a large result, given a bound far below it: the
// program stops at the header, before the result takes memory or disk.
void TestPatcher::patch_claiming_more_than_its_bound_writes_nothing()
{
    const QByteArray old_data = random_bytes(4096, 21);
    QByteArray patch;
    QVERIFY(make_patch(old_data, old_data + QByteArray(48 << 20, '\0'), &patch).ok);
    QVERIFY(patch.size() < 64 * 1024);
    QVERIFY(write_file(path("claiming"), patch) && write_file(path("source"), old_data));
    QFile::remove(path("result"));
    QProcess process;
    process.start(bin_dir() + "/patcher.exe", {"--max-size", "8192", "--output", path("result"),
                                               path("claiming"), path("source")});
    QVERIFY(process.waitForFinished(60000));
    QCOMPARE(process.exitCode(), 9);
    QVERIFY(process.readAllStandardError().contains("8192"));
    QCOMPARE(QDir(dir.path()).entryList({"result*"}, QDir::Files), QStringList());
    QVERIFY(read_file(path("source")) == old_data);
}

QTEST_GUILESS_MAIN(TestPatcher)
#include "tst_patcher.moc"
