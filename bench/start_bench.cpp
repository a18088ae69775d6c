// From play to a ready update plan on a current install: a start that has to
// read every file (no verification cache) against the next start, which finds
// the cache of the first. Two installs:
//   - 10,000 files and 4 GiB, where reading the bytes is what costs;
//   - 100,000 files of 512 bytes (and 10,000 of them for the cost per file),
//     where the work around each file is what costs: manifest entries, stat
//     calls, the cache, the plan. The first start is set against one
//     `openssl dgst -sha256` process hashing the same files on one core.
//   bench_start [WORK_DIR]
// The manifest is read and the files verified as the launcher does after the
// manifest has arrived: parse_manifest in a task on the global thread pool.
#include "bench_util.h"

#include "manifest_entry.h"

#include "updater/file_hasher.h"
#include "updater/updater.h"
#include "updater/verify_cache.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <cstdio>
#include <functional>

#include <malloc.h>
#include <sys/resource.h>

namespace {

constexpr int RUNS = 3;
constexpr qint64 MIB = 1 << 20;
const QUrl BASE("https://bench.invalid/");

// One install: its files, their folders and sizes.
struct Install
{
    QString folder; // under the work folder
    int file_count;
    std::function<QString(int)> folder_of;
    std::function<qint64(int)> size_of;

    QString name_of(int i) const
    {
        return folder_of(i) +
            QString("/file%1.pak").arg(i, file_count > 10000 ? 6 : 5, 10, QChar('0'));
    }
};

// The install and its manifest, made once and kept in the work folder. Tells
// whether any file was written just now.
bool prepare(const Install &install, const QString &root, const QString &manifest_path,
             qint64 &bytes, bool &fresh)
{
    fresh = false;
    bytes = 0;
    QStringList names;
    QString made_folder;
    for (int i = 0; i < install.file_count; ++i) {
        const QString path = root + "/" + install.name_of(i);
        const qint64 size = install.size_of(i);
        bytes += size;
        names << install.name_of(i);
        if (QFileInfo(path).size() == size)
            continue;
        fresh = true;
        const QString folder = root + "/" + install.folder_of(i);
        if (folder != made_folder && !QDir().mkpath(folder))
            return false;
        made_folder = folder;
        if (!ensure_random_file(path, size, quint32(i)))
            return false;
    }
    if (!fresh && QFileInfo::exists(manifest_path))
        return true;

    QStringList paths;
    for (const QString &name : qAsConst(names))
        paths << root + "/" + name;
    const QStringList digests = FileHasher::digest_texts(paths);
    QJsonObject files;
    for (int i = 0; i < install.file_count; ++i) {
        ManifestEntry entry;
        entry.path = install.folder_of(i);
        entry.hash = digests[i].left(FileHasher::HASH_TEXT_LENGTH);
        entry.sha256 = digests[i];
        entry.size = install.size_of(i);
        files.insert(names[i], entry.write());
    }
    QFile manifest(manifest_path);
    const QByteArray data =
        QJsonDocument(QJsonObject {{"server-version", "1"}, {"files", files}}).toJson();
    return manifest.open(QIODevice::WriteOnly) && manifest.write(data) == data.size();
}

double cpu_seconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Peak memory of this process since the last reset_peak_memory(), in MiB.
double peak_memory_mib()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').value(0).toDouble() / 1024.0;
    }
    return 0;
}

// Hands freed memory back and starts a new peak from what is in use now.
void reset_peak_memory()
{
    malloc_trim(0);
    QFile clear("/proc/self/clear_refs");
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

struct Start
{
    double seconds = 1e300;
    double cpu_seconds = 0;
    double peak_mib = 0;
    qint64 files_read = 0;
    int planned = 0;
};

// One start, from the manifest's bytes to the plan, on a pool thread.
Start start(const QByteArray &manifest)
{
    reset_peak_memory();
    const double cpu_before = cpu_seconds();
    Start result;
    {
        Updater updater(BASE);
        QElapsedTimer timer;
        timer.start();
        QtConcurrent::run(QThreadPool::globalInstance(), &updater, &Updater::parse_manifest,
                          manifest, BASE, true)
            .waitForFinished();
        result.seconds = double(timer.nsecsElapsed()) / 1e9;
        result.files_read = updater.get_hashed_file_count();
        result.planned = updater.get_file_queue().size();
    }
    result.cpu_seconds = cpu_seconds() - cpu_before;
    result.peak_mib = peak_memory_mib();
    return result;
}

// The best of RUNS first starts and of RUNS next starts; with `openssl`, the
// best of as many runs of one openssl process over the same files, taken
// between the starts so that both see the same load.
struct Measured
{
    Start first;
    Start next;
    double peak_mib = 0;
    RunResult openssl {false, 1e300, 0, 0, QString()};
    qint64 bytes = 0;
};

bool measure(const Install &install, const QString &work, bool with_openssl, Measured &measured)
{
    const QString root = work + "/" + install.folder;
    const QString manifest_path = root + ".json";
    bool fresh = false;
    if (!prepare(install, root, manifest_path, measured.bytes, fresh)) {
        std::fprintf(stderr, "bench_start: cannot prepare %s\n", qPrintable(root));
        return false;
    }
    // Files written within two seconds of a verification do not go into the
    // cache as reusable; a real install is older than that.
    if (fresh)
        QThread::sleep(3);
    QFile manifest_file(manifest_path);
    if (!manifest_file.open(QIODevice::ReadOnly))
        return false;
    const QByteArray manifest = manifest_file.readAll();
    run_shell("find " + shell_quote(root) + " -type f -exec cat {} + >/dev/null");
    // One process (or, past the command line's limit, a few one after the
    // other): one core.
    const QString openssl_command = "cd " + shell_quote(root) +
        " && find data -type f -print0 | xargs -0 openssl dgst -sha256 >/dev/null";

    const QString previous = QDir::currentPath();
    QDir::setCurrent(root);
    for (int run = 0; run < RUNS; ++run) {
        QFile::remove(VerifyCache::file_name());
        const Start first_start = start(manifest);
        if (with_openssl) {
            const RunResult openssl = run_shell(openssl_command);
            if (!openssl.ok) {
                std::fprintf(stderr, "bench_start: openssl dgst failed\n");
                return false;
            }
            if (openssl.seconds < measured.openssl.seconds)
                measured.openssl = openssl;
        }
        const Start next_start = start(manifest);
        if (first_start.planned != 0 || next_start.planned != 0 ||
            first_start.files_read != install.file_count || next_start.files_read != 0) {
            std::fprintf(stderr,
                         "bench_start: unexpected outcome in %s (planned %d/%d, read %lld/%lld)\n",
                         qPrintable(install.folder), first_start.planned, next_start.planned,
                         first_start.files_read, next_start.files_read);
            return false;
        }
        if (first_start.seconds < measured.first.seconds)
            measured.first = first_start;
        if (next_start.seconds < measured.next.seconds)
            measured.next = next_start;
        measured.peak_mib =
            qMax(measured.peak_mib, qMax(first_start.peak_mib, next_start.peak_mib));
    }
    QDir::setCurrent(previous);
    return true;
}

QString micro_per_file(double seconds, int files)
{
    return QString::number(seconds / files * 1e6, 'f', 1);
}

QString load_average()
{
    return run_shell("cut -d' ' -f1 /proc/loadavg").output;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString work = args.size() > 1 ? args[1] : QDir::tempPath() + "/orvex-bench";

    // 10,000 files from 8 KiB to about 850 KiB, 429 KiB on average: 4 GiB.
    constexpr int LARGE_COUNT = 10000;
    const Install large {"start-install", LARGE_COUNT,
                         [](int i) { return QString("data/d%1").arg(i % 100, 2, 10, QChar('0')); },
                         [](int i) {
                             return 8 * 1024 +
                                 qint64(i * 7919 % LARGE_COUNT) * (842 * 1024) / (LARGE_COUNT - 1);
                         }};
    Measured big;
    if (!measure(large, work, false, big))
        return 1;
    std::printf("start to plan, %d files, %lld MiB, current install: first start (reads every "
                "file) %s s, next start (verification cache) %s s (target <= 1.00)\n",
                LARGE_COUNT, big.bytes / MIB, qPrintable(fixed(big.first.seconds)),
                qPrintable(fixed(big.next.seconds)));
    std::printf("  speed-up of the next start %s (target >= 10); load average %s\n",
                qPrintable(fixed(big.first.seconds / big.next.seconds)),
                qPrintable(load_average()));

    // The same 100 files per folder in both, so that only the count differs.
    constexpr int SMALL_COUNT = 10000;
    constexpr int MANY_COUNT = 100000;
    const auto small_folder = [](int i) {
        return QString("data/d%1").arg(i / 100, 4, 10, QChar('0'));
    };
    const auto small_size = [](int) { return qint64(512); };
    const Install small {"start-small-10k", SMALL_COUNT, small_folder, small_size};
    const Install many {"start-small-100k", MANY_COUNT, small_folder, small_size};
    Measured few_files;
    Measured many_files;
    if (!measure(small, work, false, few_files) || !measure(many, work, true, many_files))
        return 1;
    std::printf("start to plan, %d files of 512 bytes, current install (best of %d, processor "
                "time beside):\n",
                MANY_COUNT, RUNS);
    std::printf("  first start %s s (cpu %s s) against one openssl dgst -sha256 process %s s "
                "(cpu %s s): %s (target <= 1.00)\n",
                qPrintable(fixed(many_files.first.seconds)),
                qPrintable(fixed(many_files.first.cpu_seconds)),
                qPrintable(fixed(many_files.openssl.seconds)),
                qPrintable(fixed(many_files.openssl.cpu_seconds)),
                qPrintable(fixed(many_files.first.seconds / many_files.openssl.seconds)));
    std::printf("  next start %s s (cpu %s s) (target <= 1.00)\n",
                qPrintable(fixed(many_files.next.seconds)),
                qPrintable(fixed(many_files.next.cpu_seconds)));
    std::printf("  peak memory of the starts %s MiB (target < 512)\n",
                qPrintable(fixed(many_files.peak_mib)));
    std::printf("  cost per file at %d files against %d: first start %s us against %s, %s; "
                "next start %s us against %s, %s (target <= 1.50 each)\n",
                MANY_COUNT, SMALL_COUNT,
                qPrintable(micro_per_file(many_files.first.seconds, MANY_COUNT)),
                qPrintable(micro_per_file(few_files.first.seconds, SMALL_COUNT)),
                qPrintable(fixed(many_files.first.seconds / MANY_COUNT /
                                 (few_files.first.seconds / SMALL_COUNT))),
                qPrintable(micro_per_file(many_files.next.seconds, MANY_COUNT)),
                qPrintable(micro_per_file(few_files.next.seconds, SMALL_COUNT)),
                qPrintable(fixed(many_files.next.seconds / MANY_COUNT /
                                 (few_files.next.seconds / SMALL_COUNT))));
    std::printf("  load average %s\n", qPrintable(load_average()));
    return 0;
}
