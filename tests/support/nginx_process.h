#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>

// One nginx on loopback, run in the foreground from a folder of its own (its
// prefix, where the configuration, pid and error log go), stopped when
// destroyed. Shared by the CDN test and the install benchmark.
class NginxProcess
{
public:
    static const char *program() { return "/usr/sbin/nginx"; }
    static bool available();
    // "user root;" when running as root: nginx would otherwise hand its
    // workers to "nobody", who cannot read a private test folder.
    static QString user_line();
    // A loopback port free at the time of asking, for nginx to listen on.
    static quint16 free_port();

    ~NginxProcess();

    // Writes `config` to DIR/NAME.conf, starts nginx on it and waits up to
    // 20 s for `port` on 127.0.0.1 to accept. On failure `error` says why,
    // with nginx's own error log.
    bool start(const QString &dir, const QString &name, const QByteArray &config, quint16 port,
               QString *error);

private:
    QProcess process;
};
