#pragma once

#include "file_publisher.h"
#include "publish_options.h"

#include <QVector>

#include <atomic>
#include <mutex>

// One publishing run: scans the release, publishes its files on a pool of
// --jobs threads (largest first) into a staging folder, writes the manifest
// last, swaps the new tree in (see StagingArea) and prints a progress line
// per file on a terminal (without one, a line every few seconds) and a
// summary at the end. It only writes an --out that is new, empty or a tree
// it published (see out_folder.h). All or nothing: after any
// error the served folder is left as it was.
class Publisher
{
public:
    explicit Publisher(const PublishOptions &options);

    // Returns the exit status: 0 on success, 1 after an error (reported on
    // stderr).
    int run();

private:
    bool write_manifest(const QString &tree, const QVector<FileOutcome> &outcomes,
                        qint64 sequence, QString *error) const;
    void report_progress(const FileOutcome &outcome, int total);
    void print_progress_line(int total, qint64 total_bytes, qint64 elapsed_ms);
    void print_summary(const QVector<FileOutcome> &outcomes, double seconds) const;

    PublishOptions options;
    const bool terminal;
    std::mutex print_mutex;
    int done = 0;
    std::atomic<qint64> bytes_done {0}; // compressed or reused so far
};
