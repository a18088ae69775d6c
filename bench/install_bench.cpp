// The launcher's update road end to end against the development service,
// compared with command-line tools doing the same work:
//   fresh install: ~200 MiB in 300 files, against curl fetching every archive
//                  plus bunzip2 of every archive (the sum of both);
//   small files:   2,000 files of 4 KiB, against one curl fetching them all
//                  over one connection;
//   resume:        an update killed at 90 % of a 200 MiB archive, then run
//                  again: how much of the file the server sends again.
//   bench_install [WORK_DIR [fresh|small|resume...]]
//   bench_install --drive BASE_URL CA_FILE INSTALL_DIR   (internal: one update)
#include "app/version.h"
#include "bench_util.h"

#include "app/tls_setup.h"
#include "files/scratch_area.h"
#include "updater/updater.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cstdio>

namespace {

constexpr int RUNS = 3;
constexpr qint64 MIB = 1 << 20;

QString bin_dir()
{
    return QCoreApplication::applicationDirPath();
}

// Child mode: one update of INSTALL_DIR from BASE_URL, as the launcher runs it
// after a login (manifest task on the pool, then the update on this thread).
int drive(const QString &base, const QString &ca_path, const QString &install)
{
    QFile ca(ca_path);
    if (!ca.open(QIODevice::ReadOnly) || !QDir::setCurrent(install))
        return 2;
    trust_additional_ca(ca.readAll());
    Updater updater {QUrl(base)};
    QtConcurrent::run(&updater, &Updater::read_manifest, true, MANIFEST_NAME).waitForFinished();
    int status = 1;
    QObject::connect(&updater, &Updater::download_error, [](int code, const QString &what) {
        std::fprintf(stderr, "%d: %s\n", code, qPrintable(what));
    });
    QObject::connect(&updater, &Updater::update_finished, [&status](bool success) {
        status = success ? 0 : 1;
        QCoreApplication::quit();
    });
    QMetaObject::invokeMethod(&updater, &Updater::start_update, Qt::QueuedConnection);
    QCoreApplication::exec();
    return status;
}

// The development service on a free port, serving one tree.
class Service
{
public:
    Service(const QString &work, const QString &tree, const QString &log, int port = 0,
            int delay_ms = 0)
    {
        process.setStandardErrorFile(log);
        process.start(bin_dir() + "/devservice",
                      {"--port", QString::number(port), "--state", work + "/state", "--serve",
                       tree, "--delay-ms", QString::number(delay_ms)});
        if (process.waitForStarted() && process.waitForReadyRead(20000))
            address = QString::fromLatin1(process.readLine().trimmed());
        if (address.contains("://"))
            address = address.section("://", 1);
        address = address.section('/', 0, 0);
    }
    ~Service()
    {
        process.terminate();
        process.waitForFinished(5000);
    }
    bool ok() const { return !address.isEmpty(); }
    int port() const { return address.section(':', 1).toInt(); }
    QString base() const { return "https://" + address + "/win32/"; }

private:
    QProcess process;
    QString address;
};

bool publish(const QString &release, const QString &tree)
{
    if (QFile::exists(tree + "/patcher.json"))
        return true;
    return run_shell(shell_command({bin_dir() + "/publisher", "--release", release, "--out", tree,
                                    "--patch-history", "0", "--server-version", "bench",
                                    "--launcher-version", ORVEX_LAUNCHER_VERSION}))
        .ok;
}

// A release of `count` files of about `total` bytes in all: text-like and
// random data mixed, in a few folders.
bool ensure_release(const QString &dir, int count, qint64 total)
{
    for (int i = 0; i < count; ++i) {
        const QString folder = dir + QString("/pack%1").arg(i % 8);
        QDir().mkpath(folder);
        const QString path = folder + QString("/file%1.dat").arg(i, 4, 10, QChar('0'));
        const qint64 size = total / count;
        const bool ok = i % 3 == 0 ? ensure_random_file(path, size, quint32(i))
                                   : ensure_text_file(path, size, quint32(i));
        if (!ok)
            return false;
    }
    return true;
}

// Sets an output folder aside instead of deleting it: files deleted just
// before a run make the file system slow to create new ones for a while (on
// ext4 without a journal, up to 30 s), which would time the deletion instead
// of the tool. The folders set aside are deleted when the benchmark ends.
void set_aside(const QString &dir)
{
    static int count = 0;
    const QString trash = QFileInfo(dir).absolutePath() + "/trash";
    QDir().mkpath(trash);
    if (QFileInfo::exists(dir))
        QDir().rename(dir, trash + QString("/%1-%2").arg(QCoreApplication::applicationPid()).arg(++count));
    QDir().mkpath(dir);
}

void empty_trash(const QString &work)
{
    QDir(work + "/trash").removeRecursively();
}

double best(QVector<double> times)
{
    return times.isEmpty() ? 0 : *std::min_element(times.begin(), times.end());
}

// One fresh install by the launcher's update road; seconds, or -1.
double launcher_install(const Service &service, const QString &ca, const QString &install)
{
    set_aside(install);
    const RunResult run = run_shell(shell_command(
        {QCoreApplication::applicationFilePath(), "--drive", service.base(), ca, install}));
    return run.ok ? run.seconds : -1;
}

QStringList archive_names(const QString &tree)
{
    QFile file(tree + "/patcher.json");
    if (!file.open(QIODevice::ReadOnly))
        return {};
    const QJsonObject files =
        QJsonDocument::fromJson(file.readAll()).object().value("files").toObject();
    QStringList names;
    for (auto it = files.begin(); it != files.end(); ++it)
        names << it.key() + ".bz2";
    return names;
}

// curl fetching every archive in one process (one connection, kept alive);
// seconds, or -1.
double curl_fetch(const Service &service, const QString &ca, const QStringList &names,
                  const QString &into)
{
    set_aside(into);
    QFile config(into + "/.curl-config");
    if (!config.open(QIODevice::WriteOnly))
        return -1;
    for (int i = 0; i < names.size(); ++i)
        config.write(QString("url = \"%1%2\"\noutput = \"%3/%4.bz2\"\n")
                         .arg(service.base(), names[i], into)
                         .arg(i)
                         .toUtf8());
    config.close();
    const RunResult run = run_shell(shell_command(
        {"curl", "-s", "-f", "--cacert", ca, "--parallel-max", "1", "-K", config.fileName()}));
    return run.ok ? run.seconds : -1;
}

double bunzip_all(const QString &dir)
{
    const RunResult run = run_shell("cd " + shell_quote(dir) + " && bunzip2 -f -- *.bz2");
    return run.ok ? run.seconds : -1;
}

void fresh_install(const QString &work)
{
    const QString release = work + "/install-release";
    const QString tree = work + "/install-tree";
    std::printf("preparing a 300-file, 200 MiB release...\n");
    std::fflush(stdout);
    if (!ensure_release(release, 300, 200 * MIB) || !publish(release, tree)) {
        std::printf("fresh install: cannot prepare the release\n");
        return;
    }
    Service service(work, tree, work + "/install-service.log");
    if (!service.ok()) {
        std::printf("fresh install: devservice did not start\n");
        return;
    }
    const QString ca = work + "/state/ca.pem";
    const QStringList names = archive_names(tree);
    QVector<double> ours, tools;
    for (int run = 0; run < RUNS; ++run) {
        ours << launcher_install(service, ca, work + "/install-ours");
        const double fetch = curl_fetch(service, ca, names, work + "/install-tools");
        const double unpack = bunzip_all(work + "/install-tools");
        tools << (fetch < 0 || unpack < 0 ? -1 : fetch + unpack);
    }
    if (*std::min_element(ours.begin(), ours.end()) < 0 ||
        *std::min_element(tools.begin(), tools.end()) < 0) {
        std::printf("fresh install: a run failed\n");
        return;
    }
    std::printf("fresh install (300 files, 200 MiB): launcher %s s, curl + bunzip2 %s s: "
                "%sx faster (target >= 1.7x)\n",
                qPrintable(fixed(best(ours))), qPrintable(fixed(best(tools))),
                qPrintable(fixed(best(tools) / best(ours))));
}

// Many small files installed by the launcher against curl fetching their
// archives over one connection, from a server `delay_ms` away; the best
// times of each, or {-1, -1}.
QPair<double, double> small_files_against_curl(const QString &work, const QString &name,
                                               int count, int delay_ms)
{
    const QString release = work + "/" + name + "-release";
    const QString tree = work + "/" + name + "-tree";
    if (!ensure_release(release, count, qint64(count) * 4096) || !publish(release, tree))
        return {-1, -1};
    Service service(work, tree, work + "/" + name + "-service.log", 0, delay_ms);
    if (!service.ok())
        return {-1, -1};
    const QString ca = work + "/state/ca.pem";
    const QStringList names = archive_names(tree);
    QVector<double> ours, curl;
    for (int run = 0; run < RUNS; ++run) {
        ours << launcher_install(service, ca, work + "/" + name + "-ours");
        curl << curl_fetch(service, ca, names, work + "/" + name + "-curl");
    }
    return {best(ours), best(curl)};
}

void small_files(const QString &work)
{
    const QPair<double, double> near = small_files_against_curl(work, "small", 2000, 0);
    std::printf("small files (2,000 x 4 KiB): launcher %s s, curl over one connection %s s: "
                "%sx (target >= 0.7x)\n",
                qPrintable(fixed(near.first)), qPrintable(fixed(near.second)),
                qPrintable(fixed(near.second / near.first)));
    std::fflush(stdout);
    // From a server 50 ms away (each answer waits that long) the round trips
    // dominate; fewer files, so that curl's run stays short.
    const QPair<double, double> far = small_files_against_curl(work, "distant", 200, 50);
    std::printf("small files from a server 50 ms away (200 x 4 KiB): launcher %s s, curl over "
                "one connection %s s: %sx\n",
                qPrintable(fixed(far.first)), qPrintable(fixed(far.second)),
                qPrintable(fixed(far.second / far.first)));
}

// Bytes the service sent for requests of `path`, from its request log.
qint64 bytes_sent(const QString &log_path, const QString &path)
{
    QFile log(log_path);
    qint64 sum = 0;
    if (!log.open(QIODevice::ReadOnly))
        return -1;
    while (!log.atEnd()) {
        const QList<QByteArray> words = log.readLine().trimmed().split(' ');
        if (words.size() == 4 && words[1].endsWith(path.toUtf8()))
            sum += words[3].toLongLong();
    }
    return sum;
}

void resume_after_kill(const QString &work)
{
    const QString release = work + "/resume-release";
    const QString tree = work + "/resume-tree";
    QDir().mkpath(release);
    if (!ensure_random_file(release + "/big.pak", 200 * MIB, 7) || !publish(release, tree)) {
        std::printf("resume: cannot prepare the release\n");
        return;
    }
    const QString install = work + "/resume-install";
    QDir(install).removeRecursively();
    QDir().mkpath(install);
    const QString ca = work + "/state/ca.pem";
    const qint64 archive = QFileInfo(tree + "/big.pak.bz2").size();
    const QString partial = install + "/" + ScratchArea::partial_archive_path("big.pak");
    int port = 0;
    {
        Service service(work, tree, work + "/resume-first.log");
        port = service.port();
        QProcess first;
        first.start(QCoreApplication::applicationFilePath(),
                    {"--drive", service.base(), ca, install});
        while (first.state() != QProcess::NotRunning &&
               QFileInfo(partial).size() < archive * 9 / 10)
            QThread::msleep(2);
        first.kill();
        first.waitForFinished();
    }
    const qint64 kept = QFileInfo(partial).size();
    // The same address as before: a partial archive continues only for it.
    Service service(work, tree, work + "/resume-second.log", port);
    const RunResult second = run_shell(shell_command(
        {QCoreApplication::applicationFilePath(), "--drive", service.base(), ca, install}));
    const qint64 sent = bytes_sent(work + "/resume-second.log", "big.pak.bz2");
    const double again = double(sent - (archive - kept)) / double(archive) * 100.0;
    std::printf("resume: killed with %s %% of a %lld MiB archive on disk; the next run %s and "
                "fetched %s %% of the file again (target <= 1 %%)\n",
                qPrintable(fixed(100.0 * double(kept) / double(archive))), archive / MIB,
                second.ok ? "completed" : "FAILED", qPrintable(fixed(qMax(0.0, again))));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 5 && args[1] == "--drive")
        return drive(args[2], args[3], args[4]);
    const QString work = args.size() > 1 ? args[1] : QDir::tempPath() + "/orvex-bench";
    QDir().mkpath(work);
    // Further arguments choose parts: fresh, small, resume (default: all).
    // The small files come first: the fresh install deletes archives (ours
    // in the scratch folder, bunzip2 its inputs), and for a while after
    // deletions the file system is slower to create files.
    const QStringList parts = args.mid(2);
    if (parts.isEmpty() || parts.contains("small"))
        small_files(work);
    if (parts.isEmpty() || parts.contains("fresh"))
        fresh_install(work);
    if (parts.isEmpty() || parts.contains("resume"))
        resume_after_kill(work);
    empty_trash(work);
    return 0;
}
