// Patches of ours against bsdiff and `zstd -19 --long --patch-from` on the
// same pairs: two builds of real shared libraries (fetched from the Debian
// archive by bench/fetch_patch_data into WORK_DIR/patch-real/), a text-like
// file with random edits and one with inserted bytes, and a game-like item
// table with inserted records. For each: patch size,
// creation time and apply time (patcher.exe against `zstd -d --patch-from`),
// the three tools interleaved, best and median of several runs.
//   bench_patch [WORK_DIR [SIZE_MIB]]    SIZE_MIB: synthetic files (default 8)
//   bench_patch --make OLD NEW PATCH     makes one patch (timed as a process)
#include "bench_util.h"
#include "hash_text.h"
#include "patch_format.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QtEndian>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <vector>

namespace {

constexpr int MAKE_RUNS = 3;
// Applying takes some tens of milliseconds, where a busy machine's noise is
// largest: more runs.
constexpr int APPLY_RUNS = 11;

// The new version: the old file with an edit every MiB (a replaced block, an
// inserted one and a removed one), as a game update changes parts of a file.
bool write_edited_version(const QString &old_path, const QString &new_path)
{
    if (QFileInfo::exists(new_path) &&
        QFileInfo(new_path).lastModified() >= QFileInfo(old_path).lastModified())
        return true;
    QFile old_file(old_path);
    QFile new_file(new_path);
    if (!old_file.open(QIODevice::ReadOnly) || !new_file.open(QIODevice::WriteOnly))
        return false;
    QRandomGenerator generator(9);
    for (QByteArray block; !(block = old_file.read(1 << 20)).isEmpty();) {
        QByteArray fresh(6144, Qt::Uninitialized);
        for (char &c : fresh)
            c = char('a' + generator.bounded(26));
        const int at = generator.bounded(block.size() / 2);
        block.replace(at, 4096, fresh.left(4096));
        block.insert(at + 100000 % block.size(), fresh.mid(4096));
        block.remove(block.size() - 1024, 1024);
        if (new_file.write(block) != block.size())
            return false;
    }
    return true;
}

// The new version: the old file with 256 to 4096 random bytes inserted every
// 256 KiB and nothing else changed.
bool write_inserted_version(const QString &old_path, const QString &new_path)
{
    if (QFileInfo::exists(new_path) &&
        QFileInfo(new_path).lastModified() >= QFileInfo(old_path).lastModified())
        return true;
    QFile old_file(old_path);
    QFile new_file(new_path);
    if (!old_file.open(QIODevice::ReadOnly) || !new_file.open(QIODevice::WriteOnly))
        return false;
    QRandomGenerator generator(3);
    for (QByteArray block; !(block = old_file.read(1 << 18)).isEmpty();) {
        QByteArray fresh(int(generator.bounded(256, 4097)), Qt::Uninitialized);
        for (char &c : fresh)
            c = char(generator.generate());
        if (new_file.write(block + fresh) != block.size() + fresh.size())
            return false;
    }
    return true;
}

// A game-like data file: a table of item records (an id, a kind, stats,
// a name and a description) behind an index of their offsets. The update
// inserts a new record after every 40th one and retunes the stats of one
// record in 50, so every later offset in the index moves and most of the
// records stay as they were, only at other places.
QByteArray game_record(quint32 id, bool update)
{
    QRandomGenerator generator(id * 7919u + 17u);
    static const char *const words[] = {
        "iron",  "sword",    "of",       "the",    "north",  "ember", "shield", "ancient", "rune",
        "swift", "boots",    "storm",    "staff",  "grants", "bonus", "damage", "against", "undead",
        "when",  "equipped", "restores", "health", "mana",   "per",   "second"};
    QByteArray record(4 + 2 + 16 * 4, '\0');
    qToLittleEndian<quint32>(id, record.data());
    qToLittleEndian<quint16>(quint16(generator.bounded(12)), record.data() + 4);
    const bool retuned = update && id % 50 == 7;
    for (int i = 0; i < 16; ++i) {
        const float scale = retuned && i % 4 == 0 ? 1.1f : 1.0f;
        const float value = float(generator.bounded(1000)) / 4.0f * scale;
        qToLittleEndian<float>(value, record.data() + 6 + 4 * i);
    }
    for (int part = 0; part < 2; ++part) {
        const int count =
            part == 0 ? 2 + int(generator.bounded(3)) : 8 + int(generator.bounded(24));
        QByteArray text;
        for (int w = 0; w < count; ++w)
            text += QByteArray(w ? " " : "") + words[generator.bounded(int(std::size(words)))];
        QByteArray length(2, '\0');
        qToLittleEndian<quint16>(quint16(text.size()), length.data());
        record += length + text;
    }
    return record;
}

bool write_game_data(const QString &path, qint64 size, bool update)
{
    if (QFileInfo::exists(path))
        return true;
    QByteArray records;
    QVector<quint32> offsets;
    quint32 fresh_id = 1u << 24;
    // As many records as the first version needs for 90 % of size.
    qint64 first_size = 0;
    for (quint32 id = 0; first_size < size * 9 / 10; ++id) {
        first_size += game_record(id, false).size();
        offsets.append(quint32(records.size()));
        records += game_record(id, update);
        if (update && id % 40 == 39) {
            offsets.append(quint32(records.size()));
            records += game_record(fresh_id++, update);
        }
    }
    QByteArray index(8 + 4 * offsets.size(), '\0');
    std::memcpy(index.data(), "ITEM", 4);
    qToLittleEndian<quint32>(quint32(offsets.size()), index.data() + 4);
    for (int i = 0; i < offsets.size(); ++i)
        qToLittleEndian<quint32>(offsets[i], index.data() + 8 + 4 * i);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) &&
        file.write(index + records) == index.size() + records.size();
}

double mib(const QString &path)
{
    return double(QFileInfo(path).size()) / (1 << 20);
}

struct Timings
{
    std::vector<double> seconds;

    void add(double value) { seconds.push_back(value); }
    double best() const { return *std::min_element(seconds.begin(), seconds.end()); }
    double median() const
    {
        std::vector<double> sorted = seconds;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
    QString text() const { return QStringLiteral("%1/%2 s").arg(fixed(best()), fixed(median())); }
    QString milliseconds() const
    {
        return QStringLiteral("%1/%2 ms")
            .arg(QString::number(best() * 1e3, 'f', 1), QString::number(median() * 1e3, 'f', 1));
    }
};

// "best/median" ratio of two timings.
QString ratio(const Timings &ours, const Timings &reference)
{
    return QStringLiteral("%1/%2").arg(fixed(ours.best() / reference.best()),
                                       fixed(ours.median() / reference.median()));
}

struct Case
{
    QString name;
    QString old_path;
    QString new_path;
};

// Runs a command, false (with a message) when it fails. Its own messages
// (zstd's advice at level 19) are dropped.
bool timed(const QStringList &command, Timings *timings, Timings *cpu = nullptr)
{
    const RunResult result = run_shell(shell_command(command) + " 2>/dev/null");
    if (!result.ok) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(command.join(' ')));
        return false;
    }
    timings->add(result.seconds);
    if (cpu)
        cpu->add(result.cpu_seconds);
    return true;
}

bool run_case(const Case &c, const QString &work, const QString &self, const QString &patcher)
{
    const QString ours = work + "/patch-ours.patch";
    const QString bsdiff = work + "/patch-bsdiff.patch";
    const QString zstd = work + "/patch-zstd.zst";
    const QString target = work + "/patch-target.dat";
    const QString out = work + "/patch-out.dat";

    Timings make_ours, make_bsdiff, make_zstd;
    for (int run = 0; run < MAKE_RUNS; ++run) {
        if (!timed({self, "--make", c.old_path, c.new_path, ours}, &make_ours) ||
            !timed({"bsdiff", c.old_path, c.new_path, bsdiff}, &make_bsdiff) ||
            !timed({"zstd", "-q", "-f", "-19", "--long=31", "--patch-from=" + c.old_path,
                    c.new_path, "-o", zstd},
                   &make_zstd))
            return false;
    }

    const QString expected = file_hash_text(c.new_path);
    Timings apply_ours, apply_zstd, apply_bspatch;
    // Processor time too: wall times of a few hundredths of a second swing
    // widely while others share the machine.
    Timings cpu_ours, cpu_zstd;
    double memory = 0;
    for (int run = 0; run < APPLY_RUNS; ++run) {
        QFile::remove(target);
        if (!QFile::copy(c.old_path, target))
            return false;
        run_shell("sync"); // the copy's write-back must not land in the timing
        const RunResult applied = run_shell(shell_command({patcher, ours, target}));
        if (!applied.ok || file_hash_text(target) != expected) {
            std::fprintf(stderr, "patcher.exe failed on %s\n", qPrintable(c.name));
            return false;
        }
        apply_ours.add(applied.seconds);
        cpu_ours.add(applied.cpu_seconds);
        memory = applied.peak_mib;
        run_shell("sync"); // nor the write-back of the patched file
        if (!timed({"zstd", "-d", "-q", "-f", "--long=31", "--patch-from=" + c.old_path, zstd, "-o",
                    out},
                   &apply_zstd, &cpu_zstd) ||
            !timed({"bspatch", c.old_path, out, bsdiff}, &apply_bspatch))
            return false;
        run_shell("sync");
    }
    for (const QString &path : {target, out})
        QFile::remove(path);

    const double size_ours = double(QFileInfo(ours).size());
    const double size_bsdiff = double(qMax<qint64>(1, QFileInfo(bsdiff).size()));
    std::printf("== %s (%s MiB -> %s MiB)\n", qPrintable(c.name),
                qPrintable(fixed(mib(c.old_path))), qPrintable(fixed(mib(c.new_path))));
    std::printf("size:   ours %lld B, bsdiff %lld B, zstd -19 %lld B; ours/bsdiff %s "
                "(target <= 0.85 on real builds, <= 1.0 on every case)\n",
                QFileInfo(ours).size(), QFileInfo(bsdiff).size(), QFileInfo(zstd).size(),
                qPrintable(fixed(size_ours / size_bsdiff)));
    std::printf("make (best/median): ours %s, bsdiff %s, zstd -19 %s; ours/bsdiff %s "
                "(target <= 1.2)\n",
                qPrintable(make_ours.text()), qPrintable(make_bsdiff.text()),
                qPrintable(make_zstd.text()), qPrintable(ratio(make_ours, make_bsdiff)));
    std::printf("apply (best/median): patcher.exe %s (peak %s MiB), zstd -d %s, bspatch %s; "
                "ours/zstd %s (target <= 1.2)\n",
                qPrintable(apply_ours.milliseconds()), qPrintable(fixed(memory)),
                qPrintable(apply_zstd.milliseconds()), qPrintable(apply_bspatch.milliseconds()),
                qPrintable(ratio(apply_ours, apply_zstd)));
    std::printf("apply processor time (best/median): patcher.exe %s, zstd -d %s; ours/zstd %s\n",
                qPrintable(cpu_ours.milliseconds()), qPrintable(cpu_zstd.milliseconds()),
                qPrintable(ratio(cpu_ours, cpu_zstd)));
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args[1] == "--make") {
        const PatchResult made = make_patch_file(args[2], args[3], args[4]);
        if (!made.ok)
            std::fprintf(stderr, "%s\n", made.message.c_str());
        return made.ok ? 0 : 1;
    }
    const QString work = args.size() > 1 ? args[1] : QDir::tempPath() + "/orvex-bench";
    const qint64 size = (args.size() > 2 ? args[2].toLongLong() : 8) << 20;
    QDir().mkpath(work);
    const QString self = QCoreApplication::applicationFilePath();
    const QString patcher = QCoreApplication::applicationDirPath() + "/patcher.exe";

    std::vector<Case> cases;
    const QDir real(work + "/patch-real");
    for (const QString &old_name : real.entryList({"*.old"}, QDir::Files, QDir::Name)) {
        const QString name = old_name.chopped(4);
        QFile versions(real.filePath(name + ".versions"));
        const QString label = versions.open(QIODevice::ReadOnly)
            ? QStringLiteral("%1, Debian %2")
                  .arg(name, QString::fromLatin1(versions.readAll().trimmed()))
            : name;
        cases.push_back({label, real.filePath(old_name), real.filePath(name + ".new")});
    }
    if (cases.empty())
        std::printf("no real libraries in %s (bench/fetch_patch_data fetches them)\n",
                    qPrintable(real.path()));

    const QString text = work + "/patch-text.dat";
    const QString edited = work + "/patch-edited.dat";
    const QString inserted = work + "/patch-inserted.dat";
    if (!ensure_text_file(text, size, 5) || !write_edited_version(text, edited) ||
        !write_inserted_version(text, inserted))
        return 1;
    cases.push_back({"random edits (text-like)", text, edited});
    cases.push_back({"inserted random bytes (text-like)", text, inserted});
    const QString items = work + "/patch-items.dat";
    const QString items_updated = work + "/patch-items-updated.dat";
    if (!write_game_data(items, size, false) || !write_game_data(items_updated, size, true))
        return 1;
    cases.push_back({"game data, inserted records", items, items_updated});

    std::printf("times are wall clock on a shared machine; ours makes its candidates on two "
                "threads\n");
    for (const Case &c : cases)
        if (!run_case(c, work, self, patcher))
            return 1;
    return 0;
}
