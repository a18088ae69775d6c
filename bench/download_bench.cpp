// Transfer rate of the launcher's Downloader against `curl -o` on the same
// URL over loopback, and the Downloader's peak memory at two file sizes.
//   bench_download [WORK_DIR [SIZE_MIB]]
// The files are served by the development service (bin/devservice) when it
// is built, else by the HTTPS test fixture in a child process; either way the
// measured process holds only the client.
#include "bench_util.h"
#include "https_fixture.h"
#include "transfer/downloader.h"
#include "transfer/file_sink.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QTextStream>

#include <cstdio>

namespace {

constexpr int RUNS = 3;

// Child mode: serve DIR under /files/ and print the base URL, until stdin closes.
int serve_child(const QString &dir, const QString &ca_path)
{
    HttpsFixture fixture;
    fixture.serve_directory("/files/", dir);
    QFile ca(ca_path);
    if (!fixture.start() || !ca.open(QIODevice::WriteOnly) || ca.write(fixture.ca_pem()) < 0)
        return 1;
    ca.close();
    std::printf("%s/files/\n", qPrintable(fixture.base_url()));
    std::fflush(stdout);
    QTextStream(stdin).readAll();
    return 0;
}

// Child mode: one uncompressed transfer of URL + ".bz2" to TARGET; prints the seconds it took.
int fetch_child(const QString &url, const QString &target, const QString &ca_path)
{
    QFile ca(ca_path);
    if (!ca.open(QIODevice::ReadOnly))
        return 1;
    // Only the service's CA, as curl gets it with --cacert: loading the system
    // store would add its fixed cost to the transfer.
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(QSslCertificate::fromData(ca.readAll(), QSsl::Pem));
    QSslConfiguration::setDefaultConfiguration(config);
    TransferRequest request;
    request.url = QUrl(url + ".bz2");
    FileSink sink(target);
    Downloader downloader(request, sink);
    QElapsedTimer timer;
    timer.start();
    UpdateFailure failure;
    downloader.download(failure);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (failure.failed())
        return 1;
    std::printf("%f\n", seconds);
    return 0;
}

struct Measured
{
    double seconds = 1e300;
    double memory = 0;
};

bool fetch(const QString &url, const QString &target, const QString &ca, qint64 size, Measured *m)
{
    const RunResult child = run_shell(
        shell_command({QCoreApplication::applicationFilePath(), "--fetch", url, target, ca}));
    if (!child.ok || QFileInfo(target).size() != size)
        return false;
    m->seconds = qMin(m->seconds, child.output.toDouble());
    m->memory = child.peak_mib;
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 4 && args[1] == "--serve")
        return serve_child(args[2], args[3]);
    if (args.size() == 5 && args[1] == "--fetch")
        return fetch_child(args[2], args[3], args[4]);

    const QString work = args.size() > 1 ? args[1] : QDir::tempPath() + "/orvex-bench";
    const qint64 size = (args.size() > 2 ? args[2].toLongLong() : 200) << 20;
    const QString served = work + "/served";
    QDir().mkpath(served);
    if (!ensure_random_file(served + "/big.bz2", size, 3) ||
        !ensure_random_file(served + "/small.bz2", size / 10, 4))
        return 1;

    // The development service when it is built, else the fixture in a child.
    QString ca = work + "/bench-ca.pem";
    QString base;
    QProcess server;
    const QString service = app.applicationDirPath() + "/devservice";
    if (QFileInfo(service).isExecutable()) {
        server.setStandardErrorFile(QProcess::nullDevice()); // a line per request
        server.start(service,
                     {"--port", "0", "--state", work + "/devservice-state", "--serve", served});
    } else {
        server.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        server.start(app.applicationFilePath(), {"--serve", served, ca});
    }
    if (!server.waitForReadyRead(30000)) {
        std::fprintf(stderr, "the file server did not start\n");
        return 1;
    }
    const QString line = QString::fromLocal8Bit(server.readLine()).trimmed();
    // devservice: "devservice: listening on https://127.0.0.1:PORT/ (CA FILE, ...)"
    const QRegularExpressionMatch match =
        QRegularExpression("listening on (\\S+) \\(CA ([^,]+),").match(line);
    if (match.hasMatch()) {
        base = match.captured(1) + "win32/";
        ca = match.captured(2);
    } else {
        base = line;
    }
    std::printf("serving with %s\n", match.hasMatch() ? "devservice" : "the test fixture");
    const QString target = work + "/download-out.dat";

    Measured ours, ours_small, curl;
    for (int run = 0; run < RUNS; ++run) {
        if (!fetch(base + "big", target, ca, size, &ours)) {
            std::fprintf(stderr, "the Downloader transfer failed\n");
            return 1;
        }
        const RunResult reference = run_shell(shell_command(
            {"curl", "-sS", "--fail", "-o", target, "--cacert", ca, base + "big.bz2"}));
        if (!reference.ok)
            return 1;
        curl.seconds = qMin(curl.seconds, reference.seconds);
    }
    if (!fetch(base + "small", target, ca, size / 10, &ours_small))
        return 1;
    QFile::remove(target);
    server.closeWriteChannel(); // ends the fixture child
    server.terminate(); // ends devservice
    server.waitForFinished(10000);

    const double mib = double(size) / (1 << 20);
    std::printf("download %.0f MiB: launcher %s MiB/s, curl %s MiB/s, ratio %s (target >= 0.8)\n",
                mib, qPrintable(fixed(mib / ours.seconds)), qPrintable(fixed(mib / curl.seconds)),
                qPrintable(fixed(curl.seconds / ours.seconds)));
    std::printf("download peak memory: %s MiB for %.0f MiB, %s MiB for %.0f MiB\n",
                qPrintable(fixed(ours.memory)), mib, qPrintable(fixed(ours_small.memory)),
                mib / 10);
    return 0;
}
