// The launcher's bzip2 extraction (the parallel decoder, file to file)
// against `bunzip2` and `lbzip2 -d -n2` on the same archive of mixed data made
// by `bzip2 -9`, and the decoder's peak memory.
//   bench_extract [WORK_DIR [SIZE_MIB]]
// Every side writes its output to a file in WORK_DIR; the sides take turns,
// and each reports its best of RUNS.
#include "bench_util.h"
#include "parallel_bz2_decoder.h"
#include "file_byte_sink.h"
#include "install/file_byte_source.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cstdio>

namespace {

constexpr int RUNS = 3;
constexpr double TARGET_BUNZIP2 = 1.8;
constexpr double TARGET_LBZIP2 = 0.9;
constexpr double TARGET_MEMORY_MIB = 64;

// Child mode: decode one archive into target.
int extract_child(const QString &archive, const QString &target)
{
    FileByteSource source(archive);
    QFile output(target);
    if (!source.open() || !output.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "cannot open %s or %s\n", qPrintable(archive), qPrintable(target));
        return 1;
    }
    FileByteSink sink(output);
    const Bz2DecodeResult result = ParallelBz2Decoder().decode(source, sink);
    output.close();
    if (result.status != Bz2Status::Ok) {
        std::fprintf(stderr, "decoding failed with status %d\n", int(result.status));
        return 1;
    }
    return 0;
}

// Game data as it comes: mostly text-like files, some already compressed
// (random) stretches, and long runs of one byte.
QByteArray mixed_piece(QRandomGenerator &generator, int length)
{
    static const char *const words[] = {"the",   "orvex", "file",  "patch", "texture", "model",
                                        "sound", "level", "quest", "npc",   "shard",   "zone",
                                        "salt",  "crate", "torch", "0",     "42",      "\n"};
    QByteArray piece;
    piece.reserve(length + 16);
    switch (generator.bounded(8)) {
    case 0:
        piece = QByteArray(length, Qt::Uninitialized);
        generator.fillRange(reinterpret_cast<quint32 *>(piece.data()), length / 4);
        break;
    case 1:
        piece = QByteArray(length, char(generator.bounded(256)));
        break;
    default:
        while (piece.size() < length) {
            piece += words[generator.bounded(int(sizeof(words) / sizeof(words[0])))];
            piece += ' ';
            if (generator.bounded(8) == 0)
                piece += QByteArray::number(generator.bounded(100000));
        }
    }
    piece.truncate(length);
    return piece;
}

bool ensure_mixed_archive(const QString &data, qint64 size)
{
    if (QFileInfo::exists(data + ".bz2") && QFileInfo(data).size() == size)
        return true;
    std::printf("preparing %s (%lld MiB)...\n", qPrintable(data), size >> 20);
    std::fflush(stdout);
    QFile file(data);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QRandomGenerator generator(7);
    for (qint64 written = 0; written < size;) {
        const int length = int(qMin<qint64>(size - written, 256 << 10));
        if (file.write(mixed_piece(generator, length)) != length)
            return false;
        written += length;
    }
    file.close();
    return run_shell("bzip2 -9 -k -f " + shell_quote(data)).ok;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == "--child")
        return extract_child(args[2], args[3]);

    const QString work = args.size() > 1 ? args[1] : QDir::tempPath() + "/orvex-bench";
    const qint64 size = (args.size() > 2 ? args[2].toLongLong() : 256) << 20;
    QDir().mkpath(work);
    const QString data = work + "/extract-mixed.dat";
    const QString archive = data + ".bz2";
    const QString out = work + "/extract-out.dat";
    if (!ensure_mixed_archive(data, size)) {
        std::fprintf(stderr, "cannot prepare the archive in %s\n", qPrintable(work));
        return 1;
    }
    if (!run_shell("command -v lbzip2 >/dev/null").ok) {
        std::fprintf(stderr, "lbzip2 is missing (scripts/setup --bench installs it)\n");
        return 1;
    }

    // The memory a child needs without decoding anything, to tell the growth.
    const QString empty = work + "/extract-empty.bz2";
    run_shell("printf '' | bzip2 -9 > " + shell_quote(empty));
    const RunResult idle =
        run_shell(shell_command({QCoreApplication::applicationFilePath(), "--child", empty, out}));

    const QString ours =
        shell_command({QCoreApplication::applicationFilePath(), "--child", archive, out});
    const QString bunzip2 = "bunzip2 -c " + shell_quote(archive) + " > " + shell_quote(out);
    const QString lbzip2 = "lbzip2 -d -n2 -c " + shell_quote(archive) + " > " + shell_quote(out);
    double best_ours = 1e300, best_bunzip2 = 1e300, best_lbzip2 = 1e300, memory = 0;
    double cpu_ours = 1e300, cpu_bunzip2 = 1e300, cpu_lbzip2 = 1e300;
    for (int run = 0; run < RUNS; ++run) {
        const RunResult a = run_shell(ours);
        if (!a.ok ||
            (run == 0 && !run_shell("cmp -s " + shell_quote(out) + " " + shell_quote(data)).ok)) {
            std::fprintf(stderr, "the launcher's extraction failed or differs\n");
            return 1;
        }
        const RunResult b = run_shell(bunzip2);
        const RunResult c = run_shell(lbzip2);
        if (!b.ok || !c.ok)
            return 1;
        best_ours = qMin(best_ours, a.seconds);
        best_bunzip2 = qMin(best_bunzip2, b.seconds);
        best_lbzip2 = qMin(best_lbzip2, c.seconds);
        memory = qMax(memory, a.peak_mib);
        cpu_ours = qMin(cpu_ours, a.cpu_seconds);
        cpu_bunzip2 = qMin(cpu_bunzip2, b.cpu_seconds);
        cpu_lbzip2 = qMin(cpu_lbzip2, c.cpu_seconds);
    }
    QFile::remove(out);

    const double mib = double(size) / (1 << 20);
    std::printf("extract %.0f MiB (bzip2 -9, %s MiB compressed), best of %d: launcher %s s, "
                "bunzip2 %s s, lbzip2 -d -n2 %s s\n",
                mib, qPrintable(fixed(double(QFileInfo(archive).size()) / (1 << 20))), RUNS,
                qPrintable(fixed(best_ours)), qPrintable(fixed(best_bunzip2)),
                qPrintable(fixed(best_lbzip2)));
    // On a busy machine the processor time tells the cost apart from the wait.
    std::printf("extract processor time: launcher %s s, bunzip2 %s s, lbzip2 -d -n2 %s s\n",
                qPrintable(fixed(cpu_ours)), qPrintable(fixed(cpu_bunzip2)),
                qPrintable(fixed(cpu_lbzip2)));
    std::printf("extract speed vs bunzip2: %s (target >= %.1f)\n",
                qPrintable(fixed(best_bunzip2 / best_ours)), TARGET_BUNZIP2);
    std::printf("extract speed vs lbzip2 -d -n2: %s (target >= %.1f)\n",
                qPrintable(fixed(best_lbzip2 / best_ours)), TARGET_LBZIP2);
    std::printf("extract peak memory: %s MiB, %s MiB above an idle child (target < %.0f)\n",
                qPrintable(fixed(memory)), qPrintable(fixed(memory - idle.peak_mib)),
                TARGET_MEMORY_MIB);
    return 0;
}
