#include "service_config.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <cstdio>

namespace {

QString default_state_dir()
{
    QString base = qEnvironmentVariable("XDG_STATE_HOME");
    if (base.isEmpty())
        base = QDir::home().filePath(QStringLiteral(".local/state"));
    return QDir(base).filePath(QStringLiteral("orvex-devservice"));
}

bool fail(const QString &message)
{
    std::fprintf(stderr, "devservice: %s\n", qPrintable(message));
    return false;
}

bool parse_dists(const QStringList &values, QMap<QString, QString> *dists)
{
    // Names become one path segment of the URL, so keep them plain.
    static const QRegularExpression name_pattern(QStringLiteral("^[A-Za-z0-9][A-Za-z0-9_-]*$"));
    for (const QString &value : values) {
        const int eq = value.indexOf(QLatin1Char('='));
        const QString name = value.left(eq);
        if (eq < 0 || !name_pattern.match(name).hasMatch())
            return fail(QStringLiteral("--dist wants NAME=DIR with a plain name: %1").arg(value));
        if (dists->contains(name))
            return fail(QStringLiteral("--dist %1 given twice").arg(name));
        dists->insert(name, value.mid(eq + 1));
    }
    return true;
}

bool check_dir(const QString &flag, const QString &dir)
{
    if (dir.isEmpty() || QFileInfo(dir).isDir())
        return true;
    return fail(QStringLiteral("%1: not a folder: %2").arg(flag, dir));
}

} // namespace

ConfigOutcome parse_service_config(const QStringList &arguments, ServiceConfig *config)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Local HTTPS stand-in for the Orvex account, news and download services.\n"
        "Listens on 127.0.0.1 only. Login: POST /login/ (form body). News: GET /launcher/.\n"
        "Downloads: GET /win32/<file> and GET /dist/<name>/win64/<file>.\n"
        "Prints the address it listens on to stdout and one line per request to stderr;\n"
        "stops cleanly on SIGINT or SIGTERM."));
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                  QStringLiteral("Show this help and exit."));
    const QCommandLineOption port(QStringLiteral("port"),
                                  QStringLiteral("TCP port on 127.0.0.1 (0: any free port)."),
                                  QStringLiteral("PORT"), QString::number(config->port));
    const QCommandLineOption state(
        QStringLiteral("state"),
        QStringLiteral("Folder for the generated CA and server certificate (ca.pem, ca.key, "
                       "server.pem, server.key), made on first use. Keep it out of the "
                       "repository."),
        QStringLiteral("DIR"), default_state_dir());
    const QCommandLineOption accounts(
        QStringLiteral("accounts"), QStringLiteral("Accounts JSON file."), QStringLiteral("FILE"),
        QStringLiteral(ORVEX_DEVSERVICE_DATA "/accounts.example.json"));
    const QCommandLineOption news(QStringLiteral("news"),
                                  QStringLiteral("HTML file served at /launcher/ (re-read on "
                                                 "every request)."),
                                  QStringLiteral("FILE"),
                                  QStringLiteral(ORVEX_DEVSERVICE_DATA "/news.html"));
    const QCommandLineOption serve(QStringLiteral("serve"),
                                   QStringLiteral("Folder served at /win32/ (the production "
                                                  "download tree)."),
                                   QStringLiteral("DIR"));
    const QCommandLineOption dist(QStringLiteral("dist"),
                                  QStringLiteral("Folder served at /dist/NAME/win64/ for the "
                                                 "distribution NAME. Repeatable."),
                                  QStringLiteral("NAME=DIR"));
    const QCommandLineOption rate(QStringLiteral("rate"),
                                  QStringLiteral("Limit each download to this many KiB per second "
                                                 "(0: no limit), so an update can be watched."),
                                  QStringLiteral("KIB"), QStringLiteral("0"));
    const QCommandLineOption delay(QStringLiteral("delay-ms"),
                                   QStringLiteral("Answer every request this many milliseconds "
                                                  "late, as a distant server would (at most 2000)."),
                                   QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption init_certs(
        QStringLiteral("init-certs"),
        QStringLiteral("Make the certificates if missing, print the CA file's path and exit."));
    parser.addOptions({help, port, state, accounts, news, serve, dist, rate, delay, init_certs});

    if (!parser.parse(arguments)) {
        fail(parser.errorText());
        return ConfigOutcome::UsageError;
    }
    if (parser.isSet(help)) {
        std::fputs(qPrintable(parser.helpText()), stdout);
        return ConfigOutcome::Exit;
    }
    if (!parser.positionalArguments().isEmpty()) {
        fail(QStringLiteral("unexpected argument: %1").arg(parser.positionalArguments().first()));
        return ConfigOutcome::UsageError;
    }
    bool ok = false;
    config->port = parser.value(port).toInt(&ok);
    if (!ok || config->port < 0 || config->port > 65535) {
        fail(QStringLiteral("--port wants a number from 0 to 65535"));
        return ConfigOutcome::UsageError;
    }
    config->rate_kib = parser.value(rate).toInt(&ok);
    if (!ok || config->rate_kib < 0) {
        fail(QStringLiteral("--rate wants a number of KiB per second, 0 for no limit"));
        return ConfigOutcome::UsageError;
    }
    config->delay_ms = parser.value(delay).toInt(&ok);
    if (!ok || config->delay_ms < 0 || config->delay_ms > 2000) {
        fail(QStringLiteral("--delay-ms wants a number from 0 to 2000"));
        return ConfigOutcome::UsageError;
    }
    config->state_dir = parser.value(state);
    config->accounts_file = parser.value(accounts);
    config->news_file = parser.value(news);
    config->serve_dir = parser.value(serve);
    config->init_certs = parser.isSet(init_certs);
    if (!parse_dists(parser.values(dist), &config->dists) ||
        !check_dir("--serve", config->serve_dir))
        return ConfigOutcome::UsageError;
    for (auto it = config->dists.cbegin(); it != config->dists.cend(); ++it) {
        if (!check_dir(QStringLiteral("--dist ") + it.key(), it.value()))
            return ConfigOutcome::UsageError;
    }
    return ConfigOutcome::Run;
}
