// The launcher's update road end to end against the development service,
// compared with command-line tools doing the same work:
//   fresh install: ~200 MiB in 300 files, against curl fetching every archive
//                  plus bunzip2 of every archive (the sum of both), and
//                  against the slower of the launcher's own two stages run
//                  alone: its transfer of the 300 archives into files, and
//                  its decoder over those archives on disk;
//   small files:   2,000 files of 4 KiB, against one curl fetching them all
//                  over one connection, from the development service; the
//                  same files from nginx over TLS (HTTP/2 offered), against
//                  one curl and curl --parallel, by the update road alone and
//                  by the real launcher in its window on an X display (from
//                  pressing play to the game's start); 200 of them from a
//                  server 50 ms away;
//   resume:        an update killed at 90 % of a 200 MiB archive, then run
//                  again: how much of the file the server sends again.
//   bench_install [WORK_DIR [fresh|small|resume...]]
//   bench_install --drive BASE_URL CA_FILE INSTALL_DIR   (internal: one update)
//   bench_install --transfer BASE_URL CA_FILE TREE OUT_DIR  (internal: the
//                 transfer alone of every archive of TREE into OUT_DIR)
//   bench_install --decode ARCHIVE_DIR OUT_DIR   (internal: the decoder alone)
#include "app/player_error.h"
#include "app/version.h"
#include "bench_util.h"
#include "nginx_process.h"
#include "window_play.h"
#include "xvfb_display.h"

#include "app/tls_setup.h"
#include "files/game_folder.h"
#include "files/scratch_area.h"
#include "archive_file.h"
#include "transfer/downloader.h"
#include "transfer/file_sink.h"
#include "updater/updater.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <QtConcurrent/QtConcurrentMap>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <unistd.h>

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

QStringList archive_names(const QString &tree);

// Child mode: the launcher's transfer alone, one archive after the other as
// an update fetches them, each into a file of its own (no decoding).
int transfer_only(const QString &base, const QString &ca_path, const QString &tree,
                  const QString &out)
{
    QFile ca(ca_path);
    if (!ca.open(QIODevice::ReadOnly) || !QDir::setCurrent(out))
        return 2;
    trust_additional_ca(ca.readAll());
    const QStringList names = archive_names(tree);
    int status = names.isEmpty() ? 1 : 0;
    for (int i = 0; i < names.size() && status == 0; ++i) {
        FileSink sink(QString("%1.bz2").arg(i));
        TransferRequest request;
        request.url = QUrl(base + names[i]);
        Downloader transfer(request, sink);
        UpdateFailure failure;
        transfer.download(failure);
        if (failure.failed()) {
            const PlayerError error = player_error(failure);
            std::fprintf(stderr, "%d: %s\n", error.code, qPrintable(error.text));
            status = 1;
        }
    }
    return status;
}

// Child mode: the launcher's decoder alone over every archive of a folder,
// each into a file of its own. An archive of a few hundred KiB is one bzip2
// block, decoded by one worker; as in an update, whose extractions run
// beside each other, several archives are decoded at once (one per core).
int decode_only(const QString &archives, const QString &out)
{
    if (!QDir::setCurrent(out))
        return 2;
    const QStringList names = QDir(archives).entryList({"*.bz2"}, QDir::Files);
    std::atomic<int> failures {0};
    QtConcurrent::blockingMap(names, [&](const QString &name) {
        const ExtractOutcome outcome = extract_archive(archives + "/" + name, name.chopped(4));
        if (outcome.failed()) {
            const PlayerError error = player_error(outcome);
            std::fprintf(stderr, "%d: %s\n", error.code, qPrintable(error.text));
            ++failures;
        }
    });
    return names.isEmpty() || failures != 0 ? 1 : 0;
}

// The development service on a free port, serving one tree.
class Service
{
public:
    // `extra`: further options of devservice.
    Service(const QString &work, const QString &tree, const QString &log, int port = 0,
            int delay_ms = 0, const QStringList &extra = QStringList())
    {
        process.setStandardErrorFile(log);
        process.start(bin_dir() + "/devservice",
                      QStringList {"--port", QString::number(port), "--state", work + "/state",
                                   "--serve", tree, "--delay-ms", QString::number(delay_ms)} +
                          extra);
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

// A time and the processor time it took; seconds, -1 for a failed run.
struct Timing
{
    double seconds = -1;
    double cpu = -1;
};

Timing timing_of(const RunResult &run)
{
    return run.ok ? Timing {run.seconds, run.cpu_seconds} : Timing {};
}

// The fastest of some runs (with its processor time); failed when any failed.
Timing best(const QVector<Timing> &runs)
{
    Timing fastest;
    for (const Timing &run : runs) {
        if (run.seconds < 0)
            return {};
        if (fastest.seconds < 0 || run.seconds < fastest.seconds)
            fastest = run;
    }
    return fastest;
}

// "1.23 s (cpu 0.98 s)"
QString shown(const Timing &timing)
{
    return fixed(timing.seconds) + " s (cpu " + fixed(timing.cpu) + " s)";
}

// One fresh install by the launcher's update road.
Timing launcher_install(const QString &base, const QString &ca, const QString &install)
{
    set_aside(install);
    return timing_of(run_shell(
        shell_command({QCoreApplication::applicationFilePath(), "--drive", base, ca, install})));
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

// curl fetching every archive in one process, each into a file of its own:
// one transfer after the other over one connection kept alive, or with
// `parallel` curl's own many-transfers mode (up to 50 at once, multiplexed
// over HTTP/2 where the server offers it).
Timing curl_fetch(const QString &base, const QString &ca, const QStringList &names,
                  const QString &into, bool parallel = false)
{
    set_aside(into);
    QFile config(into + "/.curl-config");
    if (!config.open(QIODevice::WriteOnly))
        return {};
    for (int i = 0; i < names.size(); ++i)
        config.write(QString("url = \"%1%2\"\noutput = \"%3/%4.bz2\"\n")
                         .arg(base, names[i], into)
                         .arg(i)
                         .toUtf8());
    config.close();
    return timing_of(run_shell(
        shell_command({"curl", "-s", "-f", "--cacert", ca,
                       parallel ? "--parallel" : "--no-parallel", "-K", config.fileName()}) +
                               " 2>/dev/null"));
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
    const QString fetched = work + "/install-fetched";
    const QString decoded = work + "/install-decoded";
    QVector<Timing> ours, tools, transfer, decode;
    for (int run = 0; run < RUNS; ++run) {
        ours << launcher_install(service.base(), ca, work + "/install-ours");
        const Timing fetch = curl_fetch(service.base(), ca, names, work + "/install-tools");
        const double unpack = bunzip_all(work + "/install-tools");
        tools << (fetch.seconds < 0 || unpack < 0 ? Timing {}
                                                  : Timing {fetch.seconds + unpack, -1});
        // The launcher's two stages alone: its transfer into files, then its
        // decoder over those files.
        set_aside(fetched);
        transfer << timing_of(
            run_shell(shell_command({QCoreApplication::applicationFilePath(), "--transfer",
                                     service.base(), ca, tree, fetched})));
        set_aside(decoded);
        decode << timing_of(run_shell(shell_command(
            {QCoreApplication::applicationFilePath(), "--decode", fetched, decoded})));
    }
    const Timing launcher = best(ours);
    const Timing reference = best(tools);
    if (launcher.seconds < 0 || reference.seconds < 0) {
        std::printf("fresh install: a run failed\n");
        return;
    }
    std::printf("fresh install (300 files, 200 MiB): launcher %s, curl + bunzip2 %s s: "
                "%sx faster (target >= 1.7x)\n",
                qPrintable(shown(launcher)), qPrintable(fixed(reference.seconds)),
                qPrintable(fixed(reference.seconds / launcher.seconds)));
    const Timing alone_transfer = best(transfer);
    const Timing alone_decode = best(decode);
    if (alone_transfer.seconds < 0 || alone_decode.seconds < 0) {
        std::printf("fresh install against its stages: a run failed\n");
        return;
    }
    const double slower = qMax(alone_transfer.seconds, alone_decode.seconds);
    std::printf("fresh install against its slower stage: transfer alone %s, decoding alone %s: "
                "install %sx the slower (target <= 1.15x)\n",
                qPrintable(shown(alone_transfer)), qPrintable(shown(alone_decode)),
                qPrintable(fixed(launcher.seconds / slower)));
}

// A release of `count` files of 4 KiB, published once.
bool small_release(const QString &work, const QString &name, int count, QString &tree)
{
    const QString release = work + "/" + name + "-release";
    tree = work + "/" + name + "-tree";
    return ensure_release(release, count, qint64(count) * 4096) && publish(release, tree);
}

// The launcher, one curl and curl --parallel on the same small files from
// the same server; the best runs of each. `windowed` is the real launcher in
// its window, when the server is the one it was built for.
struct SmallFigures
{
    Timing launcher;
    Timing one_curl;
    Timing parallel_curl;
    Timing windowed;
};

using WindowedRun = std::function<Timing()>;

SmallFigures small_files_from(const QString &work, const QString &name, const QString &base,
                              const QStringList &names, const WindowedRun &windowed = nullptr)
{
    const QString ca = work + "/state/ca.pem";
    QVector<Timing> ours, one, parallel, window;
    // Interleaved, so a change of load on the machine falls on every tool.
    for (int run = 0; run < RUNS; ++run) {
        ours << launcher_install(base, ca, work + "/" + name + "-ours");
        if (windowed)
            window << windowed();
        one << curl_fetch(base, ca, names, work + "/" + name + "-curl");
        parallel << curl_fetch(base, ca, names, work + "/" + name + "-curl", true);
    }
    return {best(ours), best(one), best(parallel), windowed ? best(window) : Timing {}};
}

void print_small(const char *what, const SmallFigures &figures, const char *one_target,
                 const char *parallel_target)
{
    if (figures.launcher.seconds < 0 || figures.one_curl.seconds < 0 ||
        figures.parallel_curl.seconds < 0) {
        std::printf("%s: a run failed\n", what);
        return;
    }
    std::printf("%s: launcher %s; one curl %s: %sx (%s); curl --parallel %s: %sx (%s)\n", what,
                qPrintable(shown(figures.launcher)), qPrintable(shown(figures.one_curl)),
                qPrintable(fixed(figures.one_curl.seconds / figures.launcher.seconds)), one_target,
                qPrintable(shown(figures.parallel_curl)),
                qPrintable(fixed(figures.parallel_curl.seconds / figures.launcher.seconds)),
                parallel_target);
    std::fflush(stdout);
}

// The windowed launcher against the same run's curl figures.
void print_windowed(const char *what, const SmallFigures &figures)
{
    if (figures.windowed.seconds < 0 || figures.one_curl.seconds < 0 ||
        figures.parallel_curl.seconds < 0) {
        std::printf("%s: a run failed\n", what);
        return;
    }
    std::printf("%s: launcher %s; one curl %s: %sx (target >= 1.5x); curl --parallel %s: "
                "%sx (target >= 0.5x)\n",
                what, qPrintable(shown(figures.windowed)),
                qPrintable(fixed(figures.one_curl.seconds)),
                qPrintable(fixed(figures.one_curl.seconds / figures.windowed.seconds)),
                qPrintable(fixed(figures.parallel_curl.seconds)),
                qPrintable(fixed(figures.parallel_curl.seconds / figures.windowed.seconds)));
    std::fflush(stdout);
}

// The port of a build's host "127.0.0.1:PORT"; 0 for any other host.
quint16 local_port(const QString &host)
{
    return host.startsWith("127.0.0.1:") ? quint16(host.section(':', 1).toUInt()) : 0;
}

// Where the real launcher of this build looks for its services: bench/run
// builds it with both on loopback and the development CA compiled in.
#ifdef BENCH_LAUNCHER_HOSTS
const quint16 LAUNCHER_DOWNLOAD_PORT = local_port(BENCH_LAUNCHER_DOWNLOAD_HOST);
const quint16 LAUNCHER_API_PORT = local_port(BENCH_LAUNCHER_API_HOST);
#else
const quint16 LAUNCHER_DOWNLOAD_PORT = 0;
const quint16 LAUNCHER_API_PORT = 0;
#endif

// The benchmark's nginx: %1 the user line, %2 its folder, %3 the port, %4 the
// folder of the certificate and key, %5 the root it serves.
const char NGINX_CONFIG[] = R"(%1worker_processes 1;
daemon off;
pid %2/nginx.pid;
error_log %2/nginx-error.log warn;
events { worker_connections 1024; }
http {
    default_type application/octet-stream;
    access_log off;
    client_body_temp_path %2/temp/body;
    proxy_temp_path %2/temp/proxy;
    fastcgi_temp_path %2/temp/fastcgi;
    uwsgi_temp_path %2/temp/uwsgi;
    scgi_temp_path %2/temp/scgi;
    sendfile on;
    keepalive_requests 100000;
    server {
        listen 127.0.0.1:%3 ssl http2;
        ssl_certificate %4/server.pem;
        ssl_certificate_key %4/server.key;
        root %5;
    }
}
)";

// nginx serving `root` over TLS on loopback with the development service's
// certificate, offering HTTP/2 and HTTP/1.1 (ALPN), as an operator would.
class Nginx
{
public:
    // `fixed_port`: the port to listen on (0: a free one).
    Nginx(const QString &dir, const QString &root, const QString &state, quint16 fixed_port = 0)
    {
        port = fixed_port != 0 ? fixed_port : NginxProcess::free_port();
        const QByteArray config = QString(NGINX_CONFIG)
                                      .arg(NginxProcess::user_line(), dir,
                                           QString::number(port), state, root)
                                      .toUtf8();
        QString error;
        started = port != 0 && process.start(dir, "nginx", config, port, &error);
        if (!started)
            std::fprintf(stderr, "%s\n", qPrintable(error));
    }
    bool ok() const { return started; }
    QString base() const { return QString("https://127.0.0.1:%1/win32/").arg(port); }

private:
    NginxProcess process;
    quint16 port = 0;
    bool started = false;
};

void small_files(const QString &work)
{
    QString tree;
    if (!small_release(work, "small", 2000, tree)) {
        std::printf("small files: cannot prepare the release\n");
        return;
    }
    const QStringList names = archive_names(tree);
    {
        Service service(work, tree, work + "/small-service.log");
        if (!service.ok()) {
            std::printf("small files: devservice did not start\n");
            return;
        }
        print_small("small files (2,000 x 4 KiB, development service, HTTP/1.1)",
                    small_files_from(work, "small", service.base(), names), "target >= 0.7x",
                    "no target");
    }
    // nginx over TLS, as an operator serves the files: the launcher and curl
    // both use HTTP/2 there.
    if (NginxProcess::available()) {
        const QString root = work + "/small-nginx-root";
        QDir().mkpath(root);
        QFile::link(tree, root + "/win32");
        // The windowed launcher finds nginx where it was built to look, and
        // logs in at the development service on its API port.
        const bool windowed = LAUNCHER_DOWNLOAD_PORT != 0 && LAUNCHER_API_PORT != 0;
        Nginx nginx(work + "/small-nginx", root, work + "/state", LAUNCHER_DOWNLOAD_PORT);
        std::unique_ptr<Service> api;
        std::unique_ptr<XvfbDisplay> display;
        WindowedRun window_run;
        if (windowed) {
            const QString source = QString(BENCH_SOURCE_DIR);
            api = std::make_unique<Service>(
                work, tree, work + "/small-api.log", LAUNCHER_API_PORT, 0,
                QStringList {"--accounts", source + "/devservice/accounts.example.json", "--news",
                             source + "/devservice/news.html"});
            display = std::make_unique<XvfbDisplay>();
            if (api->ok() && display->ok())
                window_run = [work] {
                    const QString install = work + "/small-window";
                    set_aside(install);
                    const WindowPlay play = play_to_game(bin_dir() + "/launcher", install,
                                                         work + "/small-window-game.json",
                                                         "player", "salt");
                    return Timing {play.seconds, play.cpu_seconds};
                };
            else
                std::printf("small files in the window: %s\n",
                            !api->ok() ? "devservice did not start"
                                       : qPrintable(display->problem()));
        } else {
            std::printf("small files in the window: needs a launcher built for local services "
                        "(bench/run builds one)\n");
        }
        if (nginx.ok()) {
            const SmallFigures figures =
                small_files_from(work, "small", nginx.base(), names, window_run);
            print_small("small files (2,000 x 4 KiB, nginx over TLS)", figures, "target >= 2.0x",
                        "target >= 1.0x");
            if (window_run)
                print_windowed("small files in the window, play to game (2,000 x 4 KiB, nginx "
                               "over TLS)",
                               figures);
        } else {
            std::printf("small files from nginx: nginx did not start\n");
        }
    } else {
        std::printf("small files from nginx: %s is missing (scripts/setup)\n", NginxProcess::program());
    }
    // From a server 50 ms away (each answer waits that long) the round trips
    // dominate; fewer files, so that one curl's run stays short.
    QString distant_tree;
    if (!small_release(work, "distant", 200, distant_tree)) {
        std::printf("small files from a server 50 ms away: cannot prepare the release\n");
        return;
    }
    Service distant(work, distant_tree, work + "/distant-service.log", 0, 50);
    if (!distant.ok()) {
        std::printf("small files from a server 50 ms away: devservice did not start\n");
        return;
    }
    // The launcher opens at most 8 connections to a host over HTTP/1.1;
    // curl --parallel opens up to 50.
    print_small("small files from a server 50 ms away (200 x 4 KiB, HTTP/1.1)",
                small_files_from(work, "distant", distant.base(), archive_names(distant_tree)),
                "target >= 5.0x", "no target: at most 8 connections");
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
    const QString partial = GameFolder(install).scratch().partial_archive_path("big.pak");
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
    if (args.size() == 6 && args[1] == "--transfer")
        return transfer_only(args[2], args[3], args[4], args[5]);
    if (args.size() == 4 && args[1] == "--decode")
        return decode_only(args[2], args[3]);
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
