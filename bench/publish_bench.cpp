// Compression rate of the publisher on --jobs 2 against one `bzip2 -9`
// process over the same release files, and the publisher's peak memory.
//   bench_publish [WORK_DIR [SIZE_MIB]]
#include "bench_util.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

namespace {

constexpr int FILES = 40;

// Files of eight sizes, the largest about 4% of the release, as a game has
// many files and none dominating.
bool ensure_release(const QString &dir, qint64 total, QStringList *paths)
{
    QDir().mkpath(dir + "/pack");
    int weights = 0;
    for (int i = 0; i < FILES; ++i)
        weights += 1 + i % 8;
    for (int i = 0; i < FILES; ++i) {
        const QString path = QString("%1/pack/%2.dat").arg(dir).arg(i, 2, 10, QLatin1Char('0'));
        if (!ensure_text_file(path, total * (1 + i % 8) / weights, quint32(100 + i)))
            return false;
        paths->append(path);
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString work = args.size() > 1 ? args[1] : QDir::tempPath() + "/orvex-bench";
    const qint64 size = (args.size() > 2 ? args[2].toLongLong() : 1024) << 20;
    const QString release = work + "/publish-release";
    const QString out = work + "/publish-out";
    QStringList paths;
    std::printf("preparing the release (%lld MiB)...\n", size >> 20);
    std::fflush(stdout);
    if (!ensure_release(release, size, &paths))
        return 1;

    const RunResult reference =
        run_shell(shell_command(QStringList {"bzip2", "-9", "-c"} + paths) + " > /dev/null");
    QDir(out).removeRecursively();
    const RunResult ours = run_shell(
        shell_command({QCoreApplication::applicationDirPath() + "/publisher", "--release", release,
                       "--out", out, "--server-version", "1", "--launcher-version", "1", "--exec",
                       "pack/00.dat", "--jobs", "2"}) +
        " > /dev/null");
    QDir(out).removeRecursively();
    if (!reference.ok || !ours.ok) {
        std::fprintf(stderr, "%s failed\n", reference.ok ? "publisher" : "bzip2");
        return 1;
    }
    const double mib = double(size) / (1 << 20);
    std::printf("publish %.0f MiB on 2 jobs: publisher %s MiB/s, one bzip2 -9 %s MiB/s, ratio %s "
                "(target >= 1.6)\n",
                mib, qPrintable(fixed(mib / ours.seconds)),
                qPrintable(fixed(mib / reference.seconds)),
                qPrintable(fixed(reference.seconds / ours.seconds)));
    std::printf("publisher peak memory %s MiB; cpu time publisher %s s, bzip2 %s s\n",
                qPrintable(fixed(ours.peak_mib)), qPrintable(fixed(ours.cpu_seconds)),
                qPrintable(fixed(reference.cpu_seconds)));
    return 0;
}
