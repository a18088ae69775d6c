#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

// Everything the service is told on its command line.
struct ServiceConfig
{
    int port = 8443; // 0: any free port
    QString state_dir;
    QString accounts_file;
    QString news_file;
    QString serve_dir; // folder served at "/win32/", "" for none
    QMap<QString, QString> dists; // distribution name -> folder served at "/dist/<name>/win64/"
    int rate_kib = 0; // download rate limit in KiB/s per transfer, 0 for none
    int delay_ms = 0; // each answer waits this long first, standing for a distant server
    bool init_certs = false;
};

enum class ConfigOutcome { Run, Exit, UsageError };

// Parses the arguments (argv[0] first). Handles --help itself (prints it and
// answers Exit); on bad arguments prints the problem and answers UsageError.
ConfigOutcome parse_service_config(const QStringList &arguments, ServiceConfig *config);
