#pragma once

#include <QString>
#include <QStringList>

// Small helpers shared by the benchmark programs.

// Outcome of one command: wall time, the peak memory of its largest process
// and its standard output.
struct RunResult
{
    bool ok = false; // exit status 0
    double seconds = 0;
    double peak_mib = 0;
    double cpu_seconds = 0; // user and system time of all its processes
    QString output; // trimmed
};

// Runs a /bin/sh command line and waits for it.
RunResult run_shell(const QString &command);

// Writes size bytes of compressible, text-like data (words from a small
// vocabulary in a seeded random order) to path unless a file of that size is
// already there. Returns false on a write failure.
bool ensure_text_file(const QString &path, qint64 size, quint32 seed);

// Same for data that does not compress.
bool ensure_random_file(const QString &path, qint64 size, quint32 seed);

// Quotes a path for /bin/sh.
QString shell_quote(const QString &text);
// A command line of quoted words.
QString shell_command(const QStringList &words);

// "x.xx" with two decimals.
QString fixed(double value);
