#pragma once

#include "file_publisher.h"
#include "publish_options.h"

#include <QVector>

#include <mutex>

// One publishing run: scans the release, publishes its files on a pool of
// --jobs threads (largest first), writes the manifest last and prints a
// progress line per file on a terminal and a summary at the end.
class Publisher
{
public:
    explicit Publisher(const PublishOptions &options);

    // Returns the exit status: 0 on success, 1 after an error (reported on
    // stderr).
    int run();

private:
    bool write_manifest(const QVector<FileOutcome> &outcomes, QString *error) const;
    void report_progress(const FileOutcome &outcome, int total);
    void print_summary(const QVector<FileOutcome> &outcomes, double seconds) const;

    PublishOptions options;
    const bool terminal;
    std::mutex print_mutex;
    int done = 0;
};
