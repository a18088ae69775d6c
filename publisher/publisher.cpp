#include "publisher.h"

#include "update_layout.h"

#include "atomic_file.h"
#include "manifest_facts.h"
#include "manifest_signature.h"
#include "manifest_signer.h"
#include "out_folder.h"
#include "publish_text.h"
#include "release_scan.h"
#include "served_names.h"
#include "staging_area.h"

#include "app/version.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <unistd.h>

namespace {

int fail(const QString &message)
{
    std::fprintf(stderr, "publisher: %s\n", qPrintable(message));
    return 1;
}

// Without a terminal (a CI job's log), a progress line this often.
constexpr int PROGRESS_INTERVAL_MS = 5000;

QString patches_text(int n)
{
    return count_text(n, QStringLiteral("patch"), QStringLiteral("patches"));
}

QString describe(const FileOutcome &outcome)
{
    QStringList parts;
    parts.append(outcome.compressed
                     ? QStringLiteral("compressed to %1").arg(size_text(outcome.archive_bytes))
                     : QStringLiteral("unchanged, archive reused"));
    if (outcome.patches_made > 0)
        parts.append(patches_text(outcome.patches_made) + QStringLiteral(" made"));
    if (outcome.patches_kept > 0)
        parts.append(patches_text(outcome.patches_kept) + QStringLiteral(" kept"));
    return parts.join(QStringLiteral(", "));
}

// Every launcher compares the manifest's version with its own and, when they
// differ, asks the player to update and exits.
void warn_of_other_launcher_version(const QString &version)
{
    if (version != QLatin1String(ORVEX_LAUNCHER_VERSION))
        std::fprintf(stderr,
                     "publisher: warning: --launcher-version %s is not the version of this "
                     "build's launcher (%s): every launcher of another version than %s will "
                     "show the update prompt and exit\n",
                     qPrintable(version), ORVEX_LAUNCHER_VERSION, qPrintable(version));
}

// A sequence this far above the earlier trees is most likely a typing
// error: every launcher that accepts it refuses each later tree of a lower
// one.
constexpr qint64 SEQUENCE_JUMP_WARNING = 1000;

// The sequence of this publish: as asked, or one more than the highest of
// the earlier trees and the tree it replaces, so launchers that accepted any
// of them accept this one; 1 for a tree with no history. -1, with the
// reason in *error, for an asked sequence that is not above the replaced
// tree's: launchers that accepted that tree would refuse this one, or take
// two different trees for one release.
qint64 next_sequence(const PublishOptions &options, const QList<PreviousVersion> &previous,
                     QString *error)
{
    qint64 highest = 0;
    for (const PreviousVersion &version : previous)
        highest = qMax(highest, version.sequence());
    QFile replaced(options.out_dir + QLatin1Char('/') + update_layout::manifest_file());
    if (replaced.open(QIODevice::ReadOnly)) {
        const qint64 served =
            ManifestFacts::read(QJsonDocument::fromJson(replaced.readAll()).object()).sequence;
        if (options.sequence >= 0 && served >= options.sequence) {
            *error = QStringLiteral("--sequence %1 is not above the %2 of the tree in --out: "
                                    "launchers with a key that accepted it would refuse this "
                                    "one")
                         .arg(options.sequence)
                         .arg(served);
            return -1;
        }
        highest = qMax(highest, served);
    }
    if (options.sequence > highest + SEQUENCE_JUMP_WARNING)
        std::fprintf(stderr,
                     "publisher: warning: --sequence %lld is more than %lld above the highest "
                     "earlier sequence (%lld): launchers with a key that accept it refuse every "
                     "later tree of a lower sequence\n",
                     static_cast<long long>(options.sequence),
                     static_cast<long long>(SEQUENCE_JUMP_WARNING),
                     static_cast<long long>(highest));
    return options.sequence >= 0 ? options.sequence : highest + 1;
}

} // namespace

Publisher::Publisher(const PublishOptions &options)
    : options(options), terminal(isatty(STDOUT_FILENO) != 0)
{
}

int Publisher::run()
{
    QElapsedTimer timer;
    timer.start();
    QVector<ReleaseFile> files;
    QString error;
    warn_of_other_launcher_version(options.launcher_version);
    // The key is read before anything is touched, so a bad key changes nothing.
    ManifestSigner signer;
    if (!options.sign_key.isEmpty() && !signer.load(options.sign_key, &error))
        return fail(error);
    QList<PreviousVersion> previous;
    for (const QString &dir : options.previous) {
        PreviousVersion version;
        if (!version.load(dir, &error))
            return fail(error);
        previous.append(version);
    }
    const QString refusal = out_folder_refusal(options, previous);
    if (!refusal.isEmpty())
        return fail(refusal);
    QStringList errors;
    if (!scan_release(options.release_dir, options.follow_internal_links, &files, &errors)) {
        for (const QString &line : errors)
            std::fprintf(stderr, "publisher: %s\n", qPrintable(line));
        return fail(QStringLiteral("nothing published: %1 in the release")
                        .arg(count_text(errors.size(), QStringLiteral("problem"),
                                        QStringLiteral("problems"))));
    }
    options.out_dir = QDir(options.out_dir).absolutePath();
    const qint64 sequence = next_sequence(options, previous, &error);
    if (sequence < 0)
        return fail(error);
    StagingArea staging;
    if (!staging.open(options.out_dir, &error))
        return fail(error);
    if (!std::any_of(files.cbegin(), files.cend(),
                     [&](const ReleaseFile &f) { return f.key == options.exec_name; }))
        std::fprintf(stderr, "publisher: warning: the release has no file %s\n",
                     qPrintable(options.exec_name));
    for (const ReleaseFile &file : qAsConst(files)) {
        if (!served_by_documented_server(file.key))
            std::fprintf(stderr,
                         "publisher: warning: %s looks like one of the publisher's own hidden "
                         "names: the server configuration of docs/operating.md does not serve "
                         "it, and players cannot download it\n",
                         qPrintable(file.key));
    }

    // Largest first, so one big file does not start last and run alone.
    QVector<int> order(files.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](int a, int b) { return files[a].size > files[b].size; });

    // Files are worked on by --jobs threads that read, hash, make patches
    // and write; the compression of their blocks runs on --jobs more, so one
    // big file keeps every core busy, and many small ones do too.
    QThreadPool compress_pool;
    compress_pool.setMaxThreadCount(options.jobs);
    const FilePublisher publisher(options, previous, staging.tree(), staging.scratch(),
                                  &compress_pool, &bytes_done);
    QVector<FileOutcome> outcomes(files.size());
    QThreadPool pool;
    pool.setMaxThreadCount(options.jobs);
    QElapsedTimer working;
    working.start();
    for (int index : order) {
        QtConcurrent::run(&pool, [&, index] {
            outcomes[index] = publisher.publish(files[index], index);
            report_progress(outcomes[index], files.size());
        });
    }
    const qint64 total_bytes =
        std::accumulate(files.cbegin(), files.cend(), qint64(0),
                        [](qint64 sum, const ReleaseFile &file) { return sum + file.size; });
    while (!pool.waitForDone(PROGRESS_INTERVAL_MS)) {
        if (!terminal)
            print_progress_line(files.size(), total_bytes, working.elapsed());
    }

    for (const FileOutcome &outcome : outcomes) {
        if (!outcome.error.isEmpty())
            errors.append(outcome.key + ": " + outcome.error);
    }
    const QString unchanged =
        QStringLiteral("nothing published, %1 is unchanged").arg(options.out_dir);
    if (!errors.isEmpty())
        return fail(QStringLiteral("%1; %2").arg(unchanged, errors.join("; ")));
    if (!write_published_marker(staging.tree(), &error) ||
        !write_manifest(staging.tree(), outcomes, sequence, &error) ||
        (signer.loaded() && !signer.sign_manifest(staging.tree(), &error)) ||
        !staging.publish(&error))
        return fail(QStringLiteral("%1; %2").arg(unchanged, error));
    print_summary(outcomes, double(timer.elapsed()) / 1000.0);
    if (signer.loaded())
        std::printf("signed %s with key %s\n", qPrintable(update_layout::manifest_file()),
                    qPrintable(manifest_signature::key_id(signer.public_key())));
    return 0;
}

bool Publisher::write_manifest(const QString &tree, const QVector<FileOutcome> &outcomes,
                               qint64 sequence, QString *error) const
{
    QJsonObject files;
    for (const FileOutcome &outcome : outcomes)
        files.insert(outcome.key, outcome.entry);
    QJsonObject manifest {{update_layout::key_server_version(), options.server_version},
                          {update_layout::key_launcher_version(), options.launcher_version},
                          {update_layout::key_exec(), options.exec_name},
                          {update_layout::key_files(), files}};
    ManifestFacts facts;
    facts.sequence = sequence;
    facts.distribution = options.distribution;
    if (options.expires_after_days > 0)
        facts.expires =
            QDateTime::currentDateTimeUtc().addDays(options.expires_after_days);
    facts.write(manifest);
    const QString path = tree + QLatin1Char('/') + update_layout::manifest_file();
    const QByteArray text = QJsonDocument(manifest).toJson(QJsonDocument::Indented);
    QString reason;
    if (atomic_file::write(path, text, &reason))
        return true;
    *error = QStringLiteral("cannot write %1: %2").arg(path, reason);
    return false;
}

void Publisher::report_progress(const FileOutcome &outcome, int total)
{
    std::lock_guard<std::mutex> lock(print_mutex);
    ++done;
    if (!terminal)
        return;
    const QString status = outcome.error.isEmpty() ? describe(outcome) : "FAILED: " + outcome.error;
    std::printf("[%*d/%d] %s  %s  %s\n", int(QString::number(total).size()), done, total,
                qPrintable(outcome.key), qPrintable(size_text(outcome.size)), qPrintable(status));
    for (const QString &note : outcome.notes)
        std::printf("        %s\n", qPrintable(note));
    std::fflush(stdout);
}

void Publisher::print_progress_line(int total, qint64 total_bytes, qint64 elapsed_ms)
{
    std::lock_guard<std::mutex> lock(print_mutex);
    const qint64 bytes = bytes_done;
    const double rate = elapsed_ms > 0 ? double(bytes) * 1000 / double(elapsed_ms) : 0;
    std::printf("publishing: %d of %s, %s of %s (%s/s)\n", done,
                qPrintable(count_text(total, QStringLiteral("file"), QStringLiteral("files"))),
                qPrintable(size_text(bytes)), qPrintable(size_text(total_bytes)),
                qPrintable(size_text(qint64(rate))));
    std::fflush(stdout);
}

void Publisher::print_summary(const QVector<FileOutcome> &outcomes, double seconds) const
{
    qint64 bytes = 0, archive_bytes = 0;
    int compressed = 0, made = 0, kept = 0, listed = 0;
    for (const FileOutcome &outcome : outcomes) {
        bytes += outcome.size;
        archive_bytes += outcome.archive_bytes;
        compressed += outcome.compressed ? 1 : 0;
        made += outcome.patches_made;
        kept += outcome.patches_kept;
        listed += outcome.entry.value(update_layout::key_patches()).toArray().size();
        if (!terminal) {
            for (const QString &note : outcome.notes)
                std::printf("%s: %s\n", qPrintable(outcome.key), qPrintable(note));
        }
    }
    std::printf(
        "published %s, %s in %s of archives (%d compressed, %d reused); "
        "%s listed (%d made, %d kept); %.1f s\n",
        qPrintable(count_text(outcomes.size(), QStringLiteral("file"), QStringLiteral("files"))),
        qPrintable(size_text(bytes)), qPrintable(size_text(archive_bytes)), compressed,
        int(outcomes.size()) - compressed, qPrintable(patches_text(listed)), made, kept, seconds);
}
