// From play to a ready update plan on a current install of 10,000 files and
// 4 GiB: a start that has to read every file (no verification cache) against
// the next start, which finds the cache of the first.
//   bench_start [WORK_DIR]
// The manifest is read and the files verified as the launcher does after the
// manifest has arrived: parse_manifest in a task on the global thread pool.
#include "bench_util.h"

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

namespace {

constexpr int RUNS = 3;
constexpr int FILE_COUNT = 10000;
constexpr int FOLDER_COUNT = 100;
constexpr qint64 MIB = 1 << 20;
const QUrl BASE("https://bench.invalid/");

QString folder_of(int i)
{
    return QString("data/d%1").arg(i % FOLDER_COUNT, 2, 10, QChar('0'));
}

QString name_of(int i)
{
    return folder_of(i) + QString("/file%1.pak").arg(i, 5, 10, QChar('0'));
}

// Sizes from 8 KiB to about 850 KiB, 429 KiB on average: 4 GiB in all.
qint64 size_of(int i)
{
    return 8 * 1024 + qint64(i * 7919 % FILE_COUNT) * (842 * 1024) / (FILE_COUNT - 1);
}

// The install and its manifest, made once and kept in the work folder. Tells
// whether any file was written just now.
bool prepare(const QString &install, const QString &manifest_path, qint64 &bytes, bool &fresh)
{
    fresh = false;
    bytes = 0;
    QStringList names;
    for (int i = 0; i < FILE_COUNT; ++i) {
        const QString path = install + "/" + name_of(i);
        bytes += size_of(i);
        names << name_of(i);
        if (QFileInfo(path).size() == size_of(i))
            continue;
        fresh = true;
        if (!QDir().mkpath(QFileInfo(path).absolutePath()) ||
            !ensure_random_file(path, size_of(i), quint32(i)))
            return false;
    }
    if (!fresh && QFileInfo::exists(manifest_path))
        return true;

    QStringList paths;
    for (const QString &name : qAsConst(names))
        paths << install + "/" + name;
    const QStringList hashes = FileHasher::hash_texts(paths);
    QJsonObject files;
    for (int i = 0; i < FILE_COUNT; ++i)
        files.insert(names[i], QJsonObject {{"hash", hashes[i]}, {"path", folder_of(i)}});
    QFile manifest(manifest_path);
    const QByteArray data =
        QJsonDocument(QJsonObject {{"server-version", "1"}, {"files", files}}).toJson();
    return manifest.open(QIODevice::WriteOnly) && manifest.write(data) == data.size();
}

struct Start
{
    double seconds = 0;
    qint64 files_read = 0;
    int planned = 0;
};

// One start, from the manifest's bytes to the plan, on a pool thread.
Start start(const QByteArray &manifest)
{
    Updater updater(BASE);
    QElapsedTimer timer;
    timer.start();
    QtConcurrent::run(QThreadPool::globalInstance(), &updater, &Updater::parse_manifest, manifest,
                      BASE, true)
        .waitForFinished();
    return Start {double(timer.nsecsElapsed()) / 1e9, updater.get_hashed_file_count(),
                  updater.get_file_queue().size()};
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString work = args.size() > 1 ? args[1] : QDir::tempPath() + "/orvex-bench";
    const QString install = work + "/start-install";
    const QString manifest_path = work + "/start-manifest.json";
    qint64 bytes = 0;
    bool fresh = false;
    if (!prepare(install, manifest_path, bytes, fresh)) {
        std::fprintf(stderr, "bench_start: cannot prepare %s\n", qPrintable(install));
        return 1;
    }
    // Files written within two seconds of a verification do not go into the
    // cache as reusable; a real install is older than that.
    if (fresh)
        QThread::sleep(3);
    QFile manifest_file(manifest_path);
    if (!manifest_file.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray manifest = manifest_file.readAll();
    run_shell("find " + shell_quote(install) + " -type f -exec cat {} + >/dev/null");

    QDir::setCurrent(install);
    Start full {1e300, 0, 0};
    Start second {1e300, 0, 0};
    for (int run = 0; run < RUNS; ++run) {
        QFile::remove(VerifyCache::file_name());
        const Start first_start = start(manifest);
        const Start next_start = start(manifest);
        if (first_start.planned != 0 || next_start.planned != 0 ||
            first_start.files_read != FILE_COUNT || next_start.files_read != 0) {
            std::fprintf(stderr,
                         "bench_start: unexpected outcome (planned %d/%d, read %lld/%lld)\n",
                         first_start.planned, next_start.planned, first_start.files_read,
                         next_start.files_read);
            return 1;
        }
        if (first_start.seconds < full.seconds)
            full = first_start;
        if (next_start.seconds < second.seconds)
            second = next_start;
    }

    std::printf("start to plan, %d files, %lld MiB, current install: first start (reads every "
                "file) %s s, next start (verification cache) %s s (target <= 1.00)\n",
                FILE_COUNT, bytes / MIB, qPrintable(fixed(full.seconds)),
                qPrintable(fixed(second.seconds)));
    std::printf("  speed-up of the next start %s (target >= 10); load average %s\n",
                qPrintable(fixed(full.seconds / second.seconds)),
                qPrintable(run_shell("cut -d' ' -f1 /proc/loadavg").output));
    return 0;
}
