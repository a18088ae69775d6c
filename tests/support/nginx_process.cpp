#include "nginx_process.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <unistd.h>

bool NginxProcess::available()
{
    return QFileInfo(program()).isExecutable();
}

QString NginxProcess::user_line()
{
    return ::geteuid() == 0 ? QStringLiteral("user root;\n") : QString();
}

quint16 NginxProcess::free_port()
{
    QTcpServer probe;
    return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : 0;
}

NginxProcess::~NginxProcess()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(10000))
        process.kill();
    process.waitForFinished();
}

bool NginxProcess::start(const QString &dir, const QString &name, const QByteArray &config,
                         quint16 port, QString *error)
{
    const QString path = dir + "/" + name + ".conf";
    const QString log = dir + "/" + name + "-error.log";
    QDir().mkpath(dir + "/temp");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(config) != config.size()) {
        *error = "cannot write " + path;
        return false;
    }
    file.close();
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program(), {"-p", dir, "-c", path, "-e", log});
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < 20000) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        if (probe.waitForConnected(200))
            return true;
        // Waiting on the process both paces the probes and notices an exit.
        if (process.state() == QProcess::NotRunning || process.waitForFinished(100))
            break;
    }
    QFile written(log);
    *error = name + " nginx did not start: " +
        QString::fromUtf8(written.open(QIODevice::ReadOnly) ? written.readAll() : QByteArray());
    return false;
}
