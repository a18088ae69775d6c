// The published tree served by nginx over TLS, behind a second nginx that
// caches like a careless CDN: installs and updates through the warm cache
// must come out right without a purge.
#include "fixture_certificates.h"
#include "nginx_process.h"
#include "test_files.h"
#include "test_paths.h"

#include "app/version.h"

#include <QDir>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

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

} // namespace

class TestCdn : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void update_through_warm_cache();
    void many_small_files_over_http2();

private:
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
    const QMap<QString, QString> values {{"DIR", dir.path()},
                                         {"ROOT", dir.filePath("www")},
                                         {"ORIGIN_PORT", QString::number(origin_port)},
                                         {"CACHE_PORT", QString::number(cache_port)},
                                         {"USER", NginxProcess::user_line()}};
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

QTEST_GUILESS_MAIN(TestCdn)
#include "tst_cdn.moc"
