// Extraction rate of the launcher's archive code against `bunzip2 -c` on the
// same archive, and the peak memory of the extraction at two file sizes.
//   bench_extract [WORK_DIR [SIZE_MIB]]
#include "bench_util.h"
#include "download/archive_extractor.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cstdio>

namespace {

constexpr int RUNS = 2;

// Child mode: extract one archive and print the seconds it took.
int extract_child(const QString &archive, const QString &target)
{
    QElapsedTimer timer;
    timer.start();
    const ExtractOutcome outcome = extract_archive(archive, target);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (outcome.code != 0) {
        std::fprintf(stderr, "%s\n", qPrintable(outcome.text));
        return 1;
    }
    std::printf("%f\n", seconds);
    return 0;
}

bool ensure_archive(const QString &data, qint64 size, quint32 seed)
{
    if (QFileInfo::exists(data + ".bz2") && QFileInfo(data).size() == size)
        return true;
    std::printf("preparing %s (%lld MiB)...\n", qPrintable(data), size >> 20);
    std::fflush(stdout);
    return ensure_text_file(data, size, seed) &&
        run_shell("bzip2 -9 -k -f " + shell_quote(data)).ok;
}

// Best of RUNS child extractions: seconds and peak memory.
bool measure(const QString &archive, const QString &target, double *best, double *memory)
{
    *best = 1e300;
    for (int run = 0; run < RUNS; ++run) {
        const RunResult child = run_shell(
            shell_command({QCoreApplication::applicationFilePath(), "--child", archive, target}));
        if (!child.ok)
            return false;
        *best = qMin(*best, child.output.toDouble());
        *memory = child.peak_mib;
    }
    QFile::remove(target);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == "--child")
        return extract_child(args[2], args[3]);

    const QString work = args.size() > 1 ? args[1] : QDir::tempPath() + "/orvex-bench";
    const qint64 size = (args.size() > 2 ? args[2].toLongLong() : 200) << 20;
    QDir().mkpath(work);
    const QString big = work + "/extract-big.dat";
    const QString small = work + "/extract-small.dat";
    if (!ensure_archive(big, size, 1) || !ensure_archive(small, size / 10, 2)) {
        std::fprintf(stderr, "cannot prepare the archives in %s\n", qPrintable(work));
        return 1;
    }

    double reference = 1e300;
    for (int run = 0; run < RUNS; ++run) {
        const RunResult bunzip2 =
            run_shell("bunzip2 -c " + shell_quote(big + ".bz2") + " > /dev/null");
        if (!bunzip2.ok)
            return 1;
        reference = qMin(reference, bunzip2.seconds);
    }
    double ours = 0, memory_big = 0, ours_small = 0, memory_small = 0;
    if (!measure(big + ".bz2", work + "/extract-out.dat", &ours, &memory_big) ||
        !measure(small + ".bz2", work + "/extract-out.dat", &ours_small, &memory_small))
        return 1;

    const double mib = double(size) / (1 << 20);
    std::printf(
        "extract %.0f MiB: launcher %s MiB/s, bunzip2 %s MiB/s, ratio %s (target >= 0.95)\n", mib,
        qPrintable(fixed(mib / ours)), qPrintable(fixed(mib / reference)),
        qPrintable(fixed(reference / ours)));
    std::printf("extract peak memory: %s MiB for %.0f MiB, %s MiB for %.0f MiB\n",
                qPrintable(fixed(memory_big)), mib, qPrintable(fixed(memory_small)), mib / 10);
    return 0;
}
