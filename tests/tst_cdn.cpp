// The published tree served by nginx over TLS with the server block that the
// operator guide gives, behind a second nginx that caches like a careless
// CDN: installs and updates through the warm cache must come out right
// without a purge. Besides, nginx as operators and CDNs really set it up:
// its defaults (HTTP/2 connections that end after 1,000 requests), rate
// limits answering 429 or 503, and a slow HTTP/1.1 server.
#include "fixture_certificates.h"
#include "nginx_process.h"
#include "test_files.h"
#include "test_paths.h"

#include "app/version.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

#include <algorithm>
#include <unistd.h>

namespace {

QByteArray lines(int from, int to)
{
    QByteArray text;
    for (int i = from; i < to; ++i)
        text += "row " + QByteArray::number(i) + " of the level table\n";
    return text;
}

// Release n: "orvex.exe" never changes; "data/table.txt" changes and gets a
// patch; "notes.txt" is too small for a patch and comes whole each time.
QMap<QString, QByteArray> release_files(int n)
{
    return {{"orvex.exe", lines(0, 30000)},
            {"data/table.txt", lines(n * 13, 40000 + n * 17)},
            {"notes.txt", "release notes " + QByteArray::number(n)}};
}

// A release file, with the folders it sits in.
bool write_release_file(const QString &path, const QByteArray &data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    return write_file(path, data);
}

// nginx started on a configuration made from a template of tests/nginx/.
bool start_nginx(NginxProcess &nginx, const QString &name, const QMap<QString, QString> &values,
                 quint16 port, QString *error)
{
    QString config =
        QString::fromUtf8(read_file(source_dir() + "/tests/nginx/" + name + ".conf.in"));
    for (auto it = values.begin(); it != values.end(); ++it)
        config.replace("@" + it.key() + "@", it.value());
    return nginx.start(values.value("DIR"), name, config.toUtf8(), port, error);
}

// The server block of docs/operating.md (the fenced block after its marker
// line), with the port, certificate paths and root of this test; "" when
// the page or one of the values to replace is not found.
QString documented_server_block(const QString &dir, const QString &root, quint16 port)
{
    const QString page = QString::fromUtf8(read_file(source_dir() + "/docs/operating.md"));
    const int marker = page.indexOf("<!-- tst_cdn: the origin's server block -->");
    const int start = page.indexOf("```nginx\n", marker);
    const int end = page.indexOf("\n```", start);
    if (marker < 0 || start < 0 || end < 0)
        return QString();
    QString block = page.mid(start + 9, end - start - 9);
    const QList<QPair<QString, QString>> replaced {
        {"listen 443 ssl http2;", QString("listen 127.0.0.1:%1 ssl http2;").arg(port)},
        {"/etc/ssl/orvex/fullchain.pem", dir + "/server.pem"},
        {"/etc/ssl/orvex/privkey.pem", dir + "/server.key"},
        {"root /srv/www;", "root " + root + ";"}};
    for (const auto &value : replaced) {
        if (block.count(value.first) != 1)
            return QString();
        block.replace(value.first, value.second);
    }
    return block;
}

// One request as nginx logged it ("$msec $request_time $connection $status
// $request_uri"): when it began and ended (ms), its connection and status.
struct LoggedRequest
{
    qint64 start = 0;
    qint64 end = 0;
    QByteArray connection;
    int status = 0;
};

QVector<LoggedRequest> logged_requests(const QString &path)
{
    QVector<LoggedRequest> requests;
    for (const QByteArray &line : read_file(path).split('\n')) {
        const QList<QByteArray> f = line.split(' ');
        if (f.size() < 5 || !f[4].endsWith(".bz2"))
            continue;
        LoggedRequest request;
        request.end = qint64(f[0].toDouble() * 1000);
        request.start = request.end - qint64(f[1].toDouble() * 1000);
        request.connection = f[2];
        request.status = f[3].toInt();
        requests.append(request);
    }
    return requests;
}

// The most spans [start, end] that overlap at one moment.
int most_at_once(QVector<QPair<qint64, qint64>> spans)
{
    QVector<QPair<qint64, int>> edges;
    for (const auto &span : spans)
        edges << qMakePair(span.first, 1) << qMakePair(span.second, -1);
    // An end before a start at the same moment.
    std::sort(edges.begin(), edges.end());
    int now = 0;
    int most = 0;
    for (const auto &edge : edges)
        most = qMax(most, now += edge.second);
    return most;
}

} // namespace

class TestCdn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void update_through_warm_cache();
    void many_small_files_over_http2();
    void stock_nginx_over_http2();
    void rate_limited_server_data();
    void rate_limited_server();
    void slow_http1_server();

private:
    // Publishes `count` small files into www/NAME once; their contents:
    // short texts, or `noise` bytes that do not compress.
    QMap<QString, QByteArray> small_tree(const QString &name, int count, int noise = 0);
    // Starts nginx NAME serving www/ over TLS on a free port with `server`
    // inside its server block, HTTP/2 offered or not; its log lines are
    // those logged_requests() reads. Returns the port, 0 on failure.
    quint16 start_server(NginxProcess &nginx, const QString &name, const QString &http,
                         const QString &server, bool http2);
    // Installs `files` from the server on `port` into a new player folder
    // under www/TREE; returns the driver's output.
    QByteArray install_tree(quint16 port, const QString &tree,
                            const QMap<QString, QByteArray> &files, qint64 *elapsed_ms = nullptr);
    int publish(int n, const QStringList &extra);
    int run_publisher(const QString &release, const QString &out, const QStringList &extra);
    // Runs the launcher's update road in install against the cache, or
    // against `from`.
    QByteArray update(const QString &install, const QString &from = QString());
    void verify_release(const QString &install, int n);

    QTemporaryDir dir;
    QString tree; // the served tree, www/win32
    QString base; // its address through the cache
    quint16 origin_port = 0;
    NginxProcess origin;
    NginxProcess cache;
};

void TestCdn::initTestCase()
{
    QVERIFY2(NginxProcess::available(), "nginx is missing: run scripts/setup");
    const FixtureCertificates &certs = fixture_certificates();
    QVERIFY(certs.valid);
    QVERIFY(write_file(dir.filePath("ca.pem"), QByteArray::fromStdString(certs.ca.cert)));
    QVERIFY(write_file(dir.filePath("server.pem"), QByteArray::fromStdString(certs.server.cert)));
    QVERIFY(write_file(dir.filePath("server.key"), QByteArray::fromStdString(certs.server.key)));
    QVERIFY(QDir().mkpath(dir.filePath("temp")));
    tree = dir.filePath("www/win32");
    origin_port = NginxProcess::free_port();
    const quint16 cache_port = NginxProcess::free_port();
    QVERIFY(origin_port != 0 && cache_port != 0 && origin_port != cache_port);
    QMap<QString, QString> values {{"DIR", dir.path()},
                                         {"ROOT", dir.filePath("www")},
                                         {"ORIGIN_PORT", QString::number(origin_port)},
                                         {"CACHE_PORT", QString::number(cache_port)},
                                         {"USER", NginxProcess::user_line()}};
    const QString server_block = documented_server_block(dir.path(), dir.filePath("www"), origin_port);
    QVERIFY2(!server_block.isEmpty(), "no server block to run in docs/operating.md");
    values.insert("SERVER_BLOCK", server_block);
    QString error;
    QVERIFY2(start_nginx(origin, "origin", values, origin_port, &error), qPrintable(error));
    QVERIFY2(start_nginx(cache, "cache", values, cache_port, &error), qPrintable(error));
    base = QString("https://127.0.0.1:%1/win32/").arg(cache_port);
}

int TestCdn::publish(int n, const QStringList &extra)
{
    const QString release = dir.filePath(QString("release%1").arg(n));
    const QMap<QString, QByteArray> files = release_files(n);
    for (auto it = files.begin(); it != files.end(); ++it) {
        if (!write_release_file(release + "/" + it.key(), it.value()))
            return -1;
    }
    return run_publisher(release, tree,
                         QStringList {"--server-version", QString::number(n)} + extra);
}

int TestCdn::run_publisher(const QString &release, const QString &out, const QStringList &extra)
{
    QProcess publisher;
    publisher.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    publisher.start(bin_dir() + "/publisher",
                    QStringList {"--release", release, "--out", out, "--launcher-version",
                                 ORVEX_LAUNCHER_VERSION, "--jobs", "2"} +
                        extra);
    if (!publisher.waitForFinished(120000) || publisher.exitStatus() != QProcess::NormalExit)
        return -1;
    return publisher.exitCode();
}

QByteArray TestCdn::update(const QString &install, const QString &from)
{
    QDir().mkpath(install);
    QProcess driver;
    driver.setWorkingDirectory(install);
    driver.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    driver.start(bin_dir() + "/update_driver",
                 {from.isEmpty() ? base : from, dir.filePath("ca.pem")});
    if (!driver.waitForFinished(120000))
        return "<no end>";
    return driver.readAllStandardOutput();
}

void TestCdn::verify_release(const QString &install, int n)
{
    const QMap<QString, QByteArray> files = release_files(n);
    for (auto it = files.begin(); it != files.end(); ++it)
        QVERIFY2(read_file(install + "/" + it.key()) == it.value(), qPrintable(it.key()));
}

// Release 1 is installed through the cache, which then holds every archive
// of it. Release 2 goes into the same tree: the cache still answers the old
// bytes under the archive names that did not change, yet a player updating
// from release 1 and a new player both end with release 2.
void TestCdn::update_through_warm_cache()
{
    QCOMPARE(publish(1, {}), 0);
    const QString player = dir.filePath("player");
    QCOMPARE(update(player), QByteArray("finished\n"));
    verify_release(player, 1);

    QCOMPARE(publish(2, {"--previous", tree}), 0);
    const QByteArray updated = update(player);
    QVERIFY2(updated.endsWith("finished\n"), updated.constData());
    verify_release(player, 2);
    const QByteArray installed = update(dir.filePath("new player"));
    QVERIFY2(installed.endsWith("finished\n"), installed.constData());
    verify_release(dir.filePath("new player"), 2);

    // The cache did answer release 1's bytes for release 2's archives.
    const QByteArray log = read_file(dir.filePath("cache-access.log"));
    QVERIFY2(log.contains("HIT 200 /win32/notes.txt.bz2\n"), log.constData());
}

// A server that offers HTTP/2 gets every request over it, the many requests
// for small files sent ahead included, and every file arrives whole.
void TestCdn::many_small_files_over_http2()
{
    const QString release = dir.filePath("small-release");
    QMap<QString, QByteArray> files;
    for (int i = 0; i < 150; ++i)
        files.insert(QString("pack%1/file%2.dat").arg(i % 3).arg(i), lines(i, i + 40));
    // Names beginning with a dot are the game's too: the documented block
    // serves them.
    files.insert(".settings.ini", lines(0, 3));
    files.insert(".config/keys.ini", lines(3, 6));
    for (auto it = files.begin(); it != files.end(); ++it)
        QVERIFY(write_release_file(release + "/" + it.key(), it.value()));
    QCOMPARE(run_publisher(release, dir.filePath("www/small"), {"--server-version", "1"}), 0);

    const QString player = dir.filePath("small player");
    const QByteArray installed =
        update(player, QString("https://127.0.0.1:%1/small/").arg(origin_port));
    QCOMPARE(installed, QByteArray("finished\n"));
    for (auto it = files.begin(); it != files.end(); ++it)
        QVERIFY2(read_file(player + "/" + it.key()) == it.value(), qPrintable(it.key()));

    int archives = 0;
    const QList<QByteArray> log = read_file(dir.filePath("origin-access.log")).split('\n');
    for (const QByteArray &line : log) {
        if (!line.contains(" /small/") || !line.endsWith(".bz2"))
            continue;
        ++archives;
        QVERIFY2(line.startsWith("200 HTTP/2.0 "), line.constData());
    }
    QCOMPARE(archives, files.size());
}


QMap<QString, QByteArray> TestCdn::small_tree(const QString &name, int count, int noise)
{
    QMap<QString, QByteArray> files;
    QRandomGenerator random(7);
    for (int i = 0; i < count; ++i) {
        QByteArray content = "file " + QByteArray::number(i);
        while (content.size() < noise)
            content.append(char(random.bounded(256)));
        files.insert(QString("d%1/f%2.txt").arg(i % 10).arg(i), content);
    }
    const QString out = dir.filePath("www/" + name);
    if (QFile::exists(out + "/patcher.json"))
        return files;
    const QString release = dir.filePath("release-" + name);
    for (auto it = files.begin(); it != files.end(); ++it) {
        if (!write_release_file(release + "/" + it.key(), it.value()))
            return {};
    }
    if (run_publisher(release, out, {"--server-version", "1"}) != 0)
        return {};
    return files;
}

quint16 TestCdn::start_server(NginxProcess &nginx, const QString &name, const QString &http,
                              const QString &server, bool http2)
{
    const quint16 port = NginxProcess::free_port();
    const QString d = dir.path();
    const QString config =
        NginxProcess::user_line() + "worker_processes 1;\ndaemon off;\npid " + d + "/" + name +
        ".pid;\nevents { worker_connections 256; }\nhttp {\n"
        "    log_format timed '$msec $request_time $connection $status $request_uri';\n"
        "    access_log " + d + "/" + name + "-access.log timed;\n"
        "    client_body_temp_path " + d + "/temp/" + name + "-body;\n"
        "    proxy_temp_path " + d + "/temp/" + name + "-proxy;\n"
        "    fastcgi_temp_path " + d + "/temp/" + name + "-fastcgi;\n"
        "    uwsgi_temp_path " + d + "/temp/" + name + "-uwsgi;\n"
        "    scgi_temp_path " + d + "/temp/" + name + "-scgi;\n" + http +
        "\n    server {\n"
        "        listen 127.0.0.1:" + QString::number(port) + (http2 ? " ssl http2;\n" : " ssl;\n") +
        "        ssl_certificate " + d + "/server.pem;\n"
        "        ssl_certificate_key " + d + "/server.key;\n"
        "        root " + d + "/www;\n" + server + "\n    }\n}\n";
    QString error;
    if (!nginx.start(d, name, config.toUtf8(), port, &error)) {
        qWarning("%s", qPrintable(error));
        return 0;
    }
    return port;
}

QByteArray TestCdn::install_tree(quint16 port, const QString &tree,
                                 const QMap<QString, QByteArray> &files, qint64 *elapsed_ms)
{
    static int players = 0;
    const QString player = dir.filePath(QString("player-%1").arg(++players));
    QElapsedTimer timer;
    timer.start();
    const QByteArray output =
        update(player, QString("https://127.0.0.1:%1/%2/").arg(port).arg(tree));
    if (elapsed_ms)
        *elapsed_ms = timer.elapsed();
    int wrong = 0;
    for (auto it = files.begin(); it != files.end(); ++it)
        wrong += read_file(player + "/" + it.key()) != it.value();
    return wrong == 0 ? output : output + QByteArray::number(wrong) + " files not whole\n";
}

// nginx as installed, with its defaults: an HTTP/2 connection ends after
// 1,000 requests, and the streams not yet begun are refused. More than
// 1,000 small files still install whole, in one run.
void TestCdn::stock_nginx_over_http2()
{
    const QMap<QString, QByteArray> files = small_tree("many", 1100);
    QVERIFY(!files.isEmpty());
    NginxProcess nginx;
    const quint16 port = start_server(nginx, "stock", QString(), QString(), true);
    QVERIFY(port != 0);
    QCOMPARE(install_tree(port, "many", files), QByteArray("finished\n"));
    const QVector<LoggedRequest> requests = logged_requests(dir.filePath("stock-access.log"));
    QSet<QByteArray> connections;
    for (const LoggedRequest &request : requests)
        connections.insert(request.connection);
    QVERIFY2(connections.size() >= 2, "the server never ended a connection");
}

void TestCdn::rate_limited_server_data()
{
    QTest::addColumn<QString>("limit"); // inside the server block
    QTest::addColumn<int>("status"); // what a refused request gets
    QTest::newRow("429 with Retry-After")
        << "limit_req_status 429;\nadd_header Retry-After 1 always;" << 429;
    QTest::newRow("503") << "limit_req_status 503;" << 503;
}

// limit_req at 50 requests a second with a burst of 20: the requests over
// it are refused. The update completes, and the launcher keeps fewer
// requests under way once refused (counted from the server's log).
void TestCdn::rate_limited_server()
{
    QFETCH(QString, limit);
    QFETCH(int, status);
    const QMap<QString, QByteArray> files = small_tree("some", 250);
    QVERIFY(!files.isEmpty());
    NginxProcess nginx;
    const QString name = QString("limited%1").arg(status);
    const quint16 port =
        start_server(nginx, name, "limit_req_zone $binary_remote_addr zone=files:1m rate=50r/s;",
                     "limit_req zone=files burst=20;\n" + limit, true);
    QVERIFY(port != 0);
    qint64 elapsed = 0;
    QCOMPARE(install_tree(port, "some", files, &elapsed), QByteArray("finished\n"));
    // 250 requests at 50 a second: 5 s, and some more for the refusals.
    QVERIFY2(elapsed < 30000, qPrintable(QString::number(elapsed)));
    const QVector<LoggedRequest> requests = logged_requests(dir.filePath(name + "-access.log"));
    int refused = 0;
    qint64 first_refusal = -1;
    for (const LoggedRequest &request : requests) {
        if (request.status == status) {
            ++refused;
            if (first_refusal < 0 || request.end < first_refusal)
                first_refusal = request.end;
        }
    }
    QVERIFY2(refused > 0, "the rate limit never struck");
    // Past the first refusals the launcher keeps fewer requests under way:
    // nginx answers at most the burst at once (it delays the rest), so what
    // shows the launcher's own count is how many arrive together, and the
    // refusals: once it halves, nginx delays what is over the rate instead
    // of refusing it, so refusals stay few.
    // (30 to 70 of 250 here; a launcher that kept 48 under way draws some 27
    // refusals each second.)
    QVERIFY2(refused < files.size() / 2, qPrintable(QString::number(refused)));
    QVector<QPair<qint64, qint64>> before;
    QVector<QPair<qint64, qint64>> after;
    for (const LoggedRequest &request : requests)
        (request.start <= first_refusal + 1000 ? before : after)
            << qMakePair(request.start, request.start + 50);
    const int most_before = most_at_once(before);
    const int most_after = most_at_once(after);
    QVERIFY2(most_after < most_before,
             qPrintable(QString("%1 arrived within 50 ms before, %2 after")
                            .arg(most_before)
                            .arg(most_after)));
}

// An HTTP/1.1 server that sends slowly, as a distant one does: the launcher
// never has more than 8 connections open to it, and every file is whole.
void TestCdn::slow_http1_server()
{
    // nginx paces by whole seconds: each archive of 3 KiB takes one to two.
    const QMap<QString, QByteArray> files = small_tree("noisy", 48, 3000);
    QVERIFY(!files.isEmpty());
    NginxProcess nginx;
    const QString limit = "limit_rate 2k;";
    const quint16 port = start_server(nginx, "slow", QString(), limit, false);
    QVERIFY(port != 0);
    QCOMPARE(install_tree(port, "noisy", files), QByteArray("finished\n"));
    // A connection counts from the start of its first request to the end of
    // its last.
    QMap<QByteArray, QPair<qint64, qint64>> spans;
    for (const LoggedRequest &request : logged_requests(dir.filePath("slow-access.log"))) {
        auto it = spans.find(request.connection);
        if (it == spans.end())
            spans.insert(request.connection, qMakePair(request.start, request.end));
        else
            *it = qMakePair(qMin(it->first, request.start), qMax(it->second, request.end));
    }
    const int connections = most_at_once(spans.values().toVector());
    QVERIFY2(connections <= 8, qPrintable(QString::number(connections)));
    QVERIFY2(connections > 6, qPrintable(QString::number(connections)));
}

QTEST_GUILESS_MAIN(TestCdn)
#include "tst_cdn.moc"
