// File hashing and verification against `openssl dgst -sha256` on the same
// files in page cache, and the memory a verification of one large file needs.
//   bench_verify [WORK_DIR]
//   bench_verify --memory FILE   (internal: verifies FILE, prints the growth)
#include "bench_util.h"

#include "updater/plan_builder.h"
#include "updater/updater.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonObject>
#include <QRegularExpression>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <cstdio>
#include <functional>
#include <sys/resource.h>

namespace {

constexpr int RUNS = 3;
constexpr int MANY_COUNT = 2000;
constexpr qint64 MIB = 1 << 20;

// Processor time used so far by this process (or by its waited-for children).
double cpu_seconds(int who)
{
    rusage usage {};
    getrusage(who, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Best wall time of RUNS calls.
double best_seconds(const std::function<void()> &work)
{
    double best = 1e300;
    for (int run = 0; run < RUNS; ++run) {
        QElapsedTimer timer;
        timer.start();
        work();
        best = qMin(best, double(timer.nsecsElapsed()) / 1e9);
    }
    return best;
}

double best_shell_seconds(const QString &command)
{
    double best = 1e300;
    for (int run = 0; run < RUNS; ++run) {
        const RunResult result = run_shell(command);
        if (!result.ok)
            return -1;
        best = qMin(best, result.seconds);
    }
    return best;
}

// A manifest "files" object that lists `names` as current, so the
// verification hashes everything and queues nothing.
QJsonObject listing(const QStringList &names)
{
    QJsonObject files;
    for (const QString &name : names)
        files.insert(name, QJsonObject {{"hash", PlanBuilder::file_hash(name)}});
    return files;
}

// Verifies in a task on the global thread pool, as the launcher's manifest
// task does (the task holds one of the pool's threads while it runs), and
// reads every file as a full verification does, whatever the verification
// cache holds.
void verify_on_pool(const QJsonObject &files)
{
    Updater updater(QUrl("https://bench.invalid/"));
    updater.set_full_verification(true);
    QtConcurrent::run(QThreadPool::globalInstance(), &updater, &Updater::verify_files, files,
                      QUrl("https://bench.invalid/"))
        .waitForFinished();
}

qint64 status_kib(const char *field)
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QRegularExpression pattern(QString("^%1:\\s+(\\d+) kB").arg(field),
                                     QRegularExpression::MultilineOption);
    return pattern.match(QString::fromLatin1(status.readAll())).captured(1).toLongLong();
}

int measure_memory(const QString &path)
{
    const QFileInfo info(path);
    QDir::setCurrent(info.absolutePath());
    const QJsonObject files {{info.fileName(), QJsonObject {{"hash", "0000000"}}}};
    const qint64 before = status_kib("VmRSS");
    verify_on_pool(files);
    std::printf("%lld\n", (status_kib("VmHWM") - before) / 1024);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() > 2 && args[1] == "--memory")
        return measure_memory(args[2]);
    const QString work = args.size() > 1 ? args[1] : QDir::tempPath() + "/orvex-bench";
    const QString many_dir = work + "/verify-many";
    QDir().mkpath(many_dir);

    const QString single = work + "/verify-512m.dat";
    const QString large = work + "/verify-1g.dat";
    QStringList many;
    qint64 many_bytes = 0;
    for (int i = 0; i < MANY_COUNT; ++i) {
        // Sizes from 8 KiB to 1040 KiB, 524 KiB on average: 1 GiB in all.
        const qint64 size = 8 * 1024 + (i * 7919 % MANY_COUNT) * (1032 * 1024) / (MANY_COUNT - 1);
        many << QString("file%1.pak").arg(i, 4, 10, QChar('0'));
        many_bytes += size;
        if (!ensure_random_file(many_dir + "/" + many.last(), size, quint32(i)))
            return 1;
    }
    if (!ensure_random_file(single, 512 * MIB, 1) || !ensure_random_file(large, 1024 * MIB, 2))
        return 1;
    run_shell(shell_command({"cat", single, large}) + " >/dev/null");
    run_shell("cat " + shell_quote(many_dir) + "/* >/dev/null");

    QString hash;
    const double ours_single = best_seconds([&] { hash = PlanBuilder::file_hash(single); });
    const double openssl_single =
        best_shell_seconds(shell_command({"openssl", "dgst", "-sha256", single}) + " >/dev/null");

    QDir::setCurrent(many_dir);
    const QJsonObject files = listing(many);
    // Processor time per run as well: on a machine that other work keeps
    // busy, two threads cannot beat one by wall time, whatever their cost.
    const double ours_cpu_before = cpu_seconds(RUSAGE_SELF);
    const double ours_many = best_seconds([&] { verify_on_pool(files); });
    const double ours_cpu = (cpu_seconds(RUSAGE_SELF) - ours_cpu_before) / RUNS;
    const double openssl_cpu_before = cpu_seconds(RUSAGE_CHILDREN);
    const double openssl_many =
        best_shell_seconds("openssl dgst -sha256 " + shell_command(many) + " >/dev/null");
    const double openssl_cpu = (cpu_seconds(RUSAGE_CHILDREN) - openssl_cpu_before) / RUNS;
    // Two openssl processes, each given one half of the files.
    const double openssl_two = best_shell_seconds(
        "printf '%s\\n' " + shell_command(many) +
        QString(" | xargs -P2 -n %1 openssl dgst -sha256 >/dev/null").arg(MANY_COUNT / 2));

    const RunResult memory =
        run_shell(shell_command({QCoreApplication::applicationFilePath(), "--memory", large}));

    if (openssl_single < 0 || openssl_many < 0 || openssl_two < 0 || !memory.ok) {
        std::fprintf(stderr, "bench_verify: a reference run failed\n");
        return 1;
    }
    std::printf("file_hash 512 MiB: ours %s s, openssl %s s, rate ratio %s (target >= 0.8)\n",
                qPrintable(fixed(ours_single)), qPrintable(fixed(openssl_single)),
                qPrintable(fixed(openssl_single / ours_single)));
    std::printf("verify %d files, %lld MiB from a pool task: ours %s s, one openssl %s s, rate "
                "ratio %s (target >= 1.8)\n",
                MANY_COUNT, many_bytes / MIB, qPrintable(fixed(ours_many)),
                qPrintable(fixed(openssl_many)), qPrintable(fixed(openssl_many / ours_many)));
    std::printf("  two openssl (xargs -P2) %s s, rate ratio %s (target >= 0.9)\n",
                qPrintable(fixed(openssl_two)), qPrintable(fixed(openssl_two / ours_many)));
    std::printf("  processor time per run: ours %s s, openssl %s s; load average %s\n",
                qPrintable(fixed(ours_cpu)), qPrintable(fixed(openssl_cpu)),
                qPrintable(run_shell("cut -d' ' -f1 /proc/loadavg").output));
    std::printf("verify of a 1 GiB file: peak memory growth %s MiB (target < 64)\n",
                qPrintable(memory.output));
    return 0;
}
