#include "demo_session.h"
#include "app/version.h"

#include "updater/file_hasher.h"
#include "x_driver.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QThread>
#include <QtTest>

namespace {

// Where the form's widgets sit in the window.
const QPoint USERNAME_FIELD(581, 229);
const QPoint PASSWORD_FIELD(581, 249);
const QPoint CLOSE_BUTTON(773, 30);

bool copy_tree(const QString &from, const QString &to)
{
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString source = it.next();
        const QString target = to + QLatin1Char('/') + QDir(from).relativeFilePath(source);
        QDir().mkpath(QFileInfo(target).absolutePath());
        if (!QFile::copy(source, target))
            return false;
        QFile::setPermissions(target, QFile::permissions(source));
    }
    return true;
}

} // namespace

DemoSession::DemoSession()
    : bin(qEnvironmentVariable("ORVEX_BIN_DIR"))
    , state_dir(qEnvironmentVariable("ORVEX_E2E_STATE"))
    , port(qEnvironmentVariableIntValue("ORVEX_E2E_PORT"))
{
}

DemoSession::~DemoSession()
{
    if (launcher) {
        launcher->kill();
        launcher->waitForFinished(5000);
    }
    stop_service();
}

bool DemoSession::run_tool(const QString &program, const QStringList &arguments)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(bin + QLatin1Char('/') + program, arguments);
    if (!process.waitForFinished(300000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        qWarning() << program << arguments << "failed:" << process.readAllStandardOutput();
        return false;
    }
    return true;
}

bool DemoSession::publish(const QString &root_dir)
{
    root = root_dir;
    const QString releases = root + QStringLiteral("/releases");
    const QString published = root + QStringLiteral("/published");
    const QString launcher_version = QStringLiteral(ORVEX_LAUNCHER_VERSION);
    return run_tool(QStringLiteral("make_demo_releases"),
                    {releases, bin + QStringLiteral("/orvex.exe")}) &&
        run_tool(QStringLiteral("publisher"),
                 {QStringLiteral("--release"), releases + QStringLiteral("/v1"),
                  QStringLiteral("--out"), published + QStringLiteral("/v1"),
                  QStringLiteral("--server-version"), QStringLiteral("1.0"),
                  QStringLiteral("--launcher-version"), launcher_version}) &&
        run_tool(QStringLiteral("publisher"),
                 {QStringLiteral("--release"), releases + QStringLiteral("/v2"),
                  QStringLiteral("--out"), published + QStringLiteral("/v2"),
                  QStringLiteral("--previous"), published + QStringLiteral("/v1"),
                  QStringLiteral("--server-version"), QStringLiteral("2.0"),
                  QStringLiteral("--launcher-version"), launcher_version}) &&
        run_tool(QStringLiteral("publisher"),
                 {QStringLiteral("--release"), releases + QStringLiteral("/qa"),
                  QStringLiteral("--out"), published + QStringLiteral("/qa"),
                  QStringLiteral("--server-version"), QStringLiteral("2.0-qa"),
                  QStringLiteral("--distribution"), QStringLiteral("qa"),
                  QStringLiteral("--launcher-version"), launcher_version});
}

QString DemoSession::make_install(const QString &name, bool with_release_1)
{
    const QString dir = root + QStringLiteral("/install-") + name;
    QDir(dir).removeRecursively();
    QDir().mkpath(dir);
    if (with_release_1 && !copy_tree(root + QStringLiteral("/releases/v1"), dir))
        return QString();
    return dir;
}

bool DemoSession::start_service(const QString &downloads, const QString &qa_downloads, int rate_kib)
{
    service = std::make_unique<QProcess>();
    const QString source = qEnvironmentVariable("ORVEX_SOURCE_DIR");
    QStringList arguments {
        QStringLiteral("--port"),     QString::number(port),
        QStringLiteral("--state"),    state_dir,
        QStringLiteral("--accounts"), source + QStringLiteral("/devservice/accounts.example.json"),
        QStringLiteral("--news"),     source + QStringLiteral("/devservice/news.html")};
    if (!downloads.isEmpty())
        arguments << QStringLiteral("--serve") << downloads;
    if (!qa_downloads.isEmpty())
        arguments << QStringLiteral("--dist") << QStringLiteral("qa=") + qa_downloads;
    if (rate_kib > 0)
        arguments << QStringLiteral("--rate") << QString::number(rate_kib);
    service_output.clear();
    service->start(bin + QStringLiteral("/devservice"), arguments);
    if (!service->waitForStarted(10000))
        return false;
    // Ready once it accepts connections.
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < 15000) {
        QTcpSocket probe;
        probe.connectToHost(QStringLiteral("127.0.0.1"), static_cast<quint16>(port));
        if (probe.waitForConnected(500))
            return true;
        if (service->state() != QProcess::Running)
            return false;
        QThread::msleep(100);
    }
    return false;
}

QStringList DemoSession::service_log() const
{
    if (service)
        service_output += service->readAllStandardError();
    QStringList lines;
    for (const QByteArray &line : service_output.split('\n'))
        if (line.startsWith("GET ") || line.startsWith("POST "))
            lines << QString::fromUtf8(line);
    return lines;
}

QStringList DemoSession::stop_service()
{
    if (!service)
        return {};
    service->terminate();
    service->waitForFinished(10000);
    const QStringList lines = service_log();
    service.reset();
    return lines;
}

bool DemoSession::start_launcher(const QString &install_dir, const QString &record_path)
{
    launcher = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("ORVEX_DEMO_RECORD"), record_path);
    for (const char *name : {"ORVEX_PLAYCOOKIE", "ORVEX_GAMESERVER", "ORVEX_DIST", "ORVEX_DEV"})
        env.remove(QString::fromLatin1(name));
    launcher->setProcessEnvironment(env);
    launcher->setWorkingDirectory(install_dir);
    launcher->setProcessChannelMode(QProcess::ForwardedChannels);
    launcher->start(bin + QStringLiteral("/launcher"), QStringList());
    if (!launcher->waitForStarted(10000))
        return false;
    window_id = XDriver::wait_for_window(QStringLiteral("^Saltmarch$"), 20000);
    return !window_id.isEmpty();
}

void DemoSession::log_in(const QString &name, const QString &password)
{
    XDriver::click(window_id, USERNAME_FIELD);
    XDriver::type(name);
    XDriver::click(window_id, PASSWORD_FIELD);
    XDriver::type(password);
    XDriver::key(QStringLiteral("Return"));
}

bool DemoSession::launcher_running() const
{
    return launcher && launcher->state() == QProcess::Running;
}

int DemoSession::close_launcher()
{
    XDriver::click(window_id, CLOSE_BUTTON);
    return wait_for_launcher_exit(15000);
}

int DemoSession::wait_for_launcher_exit(int timeout_ms)
{
    if (!launcher->waitForFinished(timeout_ms))
        return -1;
    return launcher->exitStatus() == QProcess::NormalExit ? launcher->exitCode() : -1;
}

QStringList DemoSession::files_differing_from(const QString &manifest_path,
                                              const QString &install_dir) const
{
    QStringList differing;
    const QJsonObject files = read_json(manifest_path).value(QStringLiteral("files")).toObject();
    for (auto it = files.begin(); it != files.end(); ++it) {
        const QString expected = it.value().toObject().value(QStringLiteral("hash")).toString();
        const QString actual = FileHasher::hash_text(install_dir + QLatin1Char('/') + it.key());
        if (actual != expected)
            differing << it.key() + QStringLiteral(": ") + actual + QStringLiteral(" != ") +
                    expected;
    }
    if (files.isEmpty())
        differing << QStringLiteral("no files in ") + manifest_path;
    return differing;
}

QJsonObject DemoSession::read_json(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(file.readAll()).object();
}

bool DemoSession::copy_folder(const QString &from, const QString &to)
{
    return copy_tree(from, to);
}

bool DemoSession::wait_for_file(const QString &path, int timeout_ms)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeout_ms) {
        if (QFileInfo(path).size() > 0) {
            QThread::msleep(200); // let the writer finish
            return true;
        }
        QThread::msleep(100);
    }
    return false;
}
