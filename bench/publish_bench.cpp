// Compression rate of the publisher on --jobs 2 against one `bzip2 -9`
// process and `lbzip2 -9 -n2` over the same files: one 128 MiB file, and a
// release of 300 files (1 GiB by default). Runs are interleaved, three of
// each; best and median times are printed with the ratios and their targets.
//   bench_publish [WORK_DIR [RELEASE_MIB]]
#include "bench_util.h"

#include "app/version.h"

#include <QCoreApplication>
#include <QDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int ROUNDS = 3;
constexpr int RELEASE_FILES = 300;

// Files of eight sizes, as a game has many files and none dominating.
bool ensure_release(const QString &dir, int files, qint64 total, QStringList *paths)
{
    QDir().mkpath(dir + "/pack");
    int weights = 0;
    for (int i = 0; i < files; ++i)
        weights += 1 + i % 8;
    for (int i = 0; i < files; ++i) {
        const QString path = QString("%1/pack/%2.dat").arg(dir).arg(i, 3, 10, QLatin1Char('0'));
        if (!ensure_text_file(path, total * (1 + i % 8) / weights, quint32(100 + i)))
            return false;
        paths->append(path);
    }
    return true;
}

struct Times
{
    std::vector<double> seconds;
    double peak_mib = 0;
    double best() const { return *std::min_element(seconds.begin(), seconds.end()); }
    double median() const
    {
        std::vector<double> sorted = seconds;
        std::sort(sorted.begin(), sorted.end());
        return sorted[sorted.size() / 2];
    }
};

bool measure(const QString &command, Times *times)
{
    const RunResult run = run_shell(command);
    if (!run.ok) {
        std::fprintf(stderr, "failed: %s\n", qPrintable(command));
        return false;
    }
    times->seconds.push_back(run.seconds);
    times->peak_mib = qMax(times->peak_mib, run.peak_mib);
    return true;
}

bool bench_case(const QString &title, const QString &release, const QStringList &paths,
                const QString &out, double mib)
{
    const QString publisher = QCoreApplication::applicationDirPath() + "/publisher";
    const QString exec = QDir(release).relativeFilePath(paths.first());
    Times ours, bzip2, lbzip2;
    for (int round = 0; round < ROUNDS; ++round) {
        QDir(out).removeRecursively();
        if (!measure(shell_command(QStringList {"bzip2", "-9", "-c"} + paths) + " > /dev/null",
                     &bzip2) ||
            !measure(shell_command(QStringList {"lbzip2", "-9", "-n2", "-c"} + paths) +
                         " > /dev/null",
                     &lbzip2) ||
            !measure(shell_command({publisher, "--release", release, "--out", out,
                                    "--server-version", "1", "--launcher-version",
                                    ORVEX_LAUNCHER_VERSION, "--exec", exec, "--jobs", "2"}) +
                         " > /dev/null",
                     &ours))
            return false;
    }
    QDir(out).removeRecursively();
    std::printf("%s (%.0f MiB), best / median of %d:\n", qPrintable(title), mib, ROUNDS);
    const auto row = [mib](const char *name, const Times &t) {
        std::printf("  %-22s %6s / %6s s  %6s MiB/s  peak %s MiB\n", name,
                    qPrintable(fixed(t.best())), qPrintable(fixed(t.median())),
                    qPrintable(fixed(mib / t.best())), qPrintable(fixed(t.peak_mib)));
    };
    row("publisher --jobs 2", ours);
    row("lbzip2 -9 -n2", lbzip2);
    row("bzip2 -9", bzip2);
    std::printf("  ratio vs lbzip2 -9 -n2: %s best, %s median (target >= 0.9)\n",
                qPrintable(fixed(lbzip2.best() / ours.best())),
                qPrintable(fixed(lbzip2.median() / ours.median())));
    std::printf("  ratio vs bzip2 -9:      %s best, %s median (target >= 1.8)\n",
                qPrintable(fixed(bzip2.best() / ours.best())),
                qPrintable(fixed(bzip2.median() / ours.median())));
    std::fflush(stdout);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString work = args.size() > 1 ? args[1] : QDir::tempPath() + "/orvex-bench";
    const qint64 release_mib = args.size() > 2 ? args[2].toLongLong() : 1024;
    const QString out = work + "/publish-out";

    std::printf("preparing the inputs...\n");
    std::fflush(stdout);
    const QString single = work + "/publish-single";
    QStringList single_paths;
    const QString release = work + "/publish-release-300";
    QStringList release_paths;
    if (!ensure_release(single, 1, qint64(128) << 20, &single_paths) ||
        !ensure_release(release, RELEASE_FILES, release_mib << 20, &release_paths))
        return 1;
    if (!bench_case("one file", single, single_paths, out, 128) ||
        !bench_case(QString("release of %1 files").arg(RELEASE_FILES), release, release_paths, out,
                    double(release_mib)))
        return 1;
    return 0;
}
