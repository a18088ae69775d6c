#pragma once

#include "app/constants.h"
#include "files/game_folder.h"
#include "updater/file_record.h"
#include "updater/manifest_reader.h"
#include "updater/plan_builder.h"
#include "updater/update_plan.h"

#include <QJsonObject>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVector>

class UpdateRun;
struct Manifest;

// Keeps the game installation current against the manifest of the download
// service: reads manifests (ManifestReader), plans the stale files
// (PlanBuilder) and works through the plan (UpdateRun). read_manifest and
// read_extra_manifest run as tasks on the global thread pool
// (QtConcurrent::run); everything else runs on the thread the Updater lives
// on. While a task runs, the caller leaves the Updater alone until the
// task's future has finished: no two tasks may overlap, and the Updater may
// not be deleted under a running task.
class Updater : public QObject
{
    Q_OBJECT

public:
    // Works on the working directory.
    explicit Updater(const QUrl &base_url);
    // Works on `game`, the folder the game is installed in and started from.
    Updater(const QUrl &base_url, const GameFolder &game);
    ~Updater() override;

    QString get_launcher_version() const;
    QString get_server_version() const;
    QString get_exec_name() const;

    // The update plan and its counters, for inspection.
    const QQueue<FileRecord> &get_file_queue() const { return plan.files; }
    qint64 get_total_steps() const;
    // Listed files that were left out because their name or folder would
    // reach outside the game folder: in key order, each name once, since the
    // last read_manifest.
    const QStringList &get_refused_files() const { return plan.refused_files; }
    // Files read and hashed by the verifications of this Updater so far; the
    // others had a hash text in the verification cache.
    qint64 get_hashed_file_count() const { return hashed_before_plan + plan.hashed_files; }

    // Inactivity limit of every exchange this Updater makes (manifest fetches
    // and downloads): a server that sends nothing for this long ends the
    // exchange as failed. A download attempt also ends when it receives less
    // than NETWORK_LOW_SPEED_BYTES in a span this long, and its retries stop
    // after about two such spans without progress (Downloader). Set it while
    // no task runs.
    void set_network_timeout(int ms);
    // The next file check hashes every listed file instead of trusting what
    // it may skip. Set it while no task runs.
    void set_full_verification(bool full) { planner.set_full_verification(full); }

    // Public keys (PEM text, one or more "PUBLIC KEY" blocks), one of which
    // must have signed every manifest this Updater reads (ManifestReader).
    // Starts as the default below. Set it while no task runs.
    void set_manifest_keys(const QByteArray &pem) { reader.set_keys(pem); }
    // The keys each new Updater starts with: those compiled in
    // (ORVEX_MANIFEST_PUBLIC_KEY) unless replaced here (tests do, before
    // they build the window).
    static QByteArray default_manifest_keys() { return ManifestReader::default_keys(); }
    static void set_default_manifest_keys(const QByteArray &pem)
    {
        ManifestReader::set_default_keys(pem);
    }
    // A manifest read since the last read_manifest was refused (its
    // signature, or what it says about its tree); the update then stops
    // before its first step with 909 and the reason.
    bool manifest_refused() const { return !refusal.isEmpty(); }

    // Task: resets the manifest state, fetches base_url + manifest_name, reads
    // the versions and "exec" and, when check_files is set, verifies the game
    // files into the plan. Emits manifest_read() after the fetch and
    // got_manifest() at its very end, whatever happened.
    void read_manifest(bool check_files, const QString &manifest_name);
    // Task: fetches base + manifest_name, the manifest of `distribution` and,
    // when it arrives, reads "exec" and verifies its files against base,
    // adding to the plan without resetting.
    void read_extra_manifest(const QUrl &base, const QString &manifest_name,
                             const QString &distribution);

    // Reads a manifest document into the members; verifies its files against
    // base when check_files is set.
    void parse_manifest(const QByteArray &data, const QUrl &base, bool check_files);
    // Checks every listed file and queues a record for each stale one.
    void verify_files(const QJsonObject &files, const QUrl &base);

    // Works through the plan step by step; ends with update_finished().
    void start_update();
    // Pauses before the retries of a failed transfer (their number is the
    // number of retries).
    void set_retry_delays(const QVector<int> &delays_ms);

signals:
    void download_error(int error_code, const QString &what);
    void download_progress(qint64 bytes_read, qint64 bytes_total, const QString &status);
    void manifest_read();
    void got_manifest();
    void update_finished(bool success);

private:
    // Takes what a manifest says: its refusal, and when usable its versions
    // (`main` only), its program name and, when check_files is set, its files.
    void take(const Manifest &manifest, bool main, bool check_files);

    QUrl base_url;
    // The folder the update works on: the working directory at construction.
    const GameFolder game_folder;
    QString launcher_version;
    QString server_version;
    QString exec_name = GAME_EXECUTABLE;
    QString refusal; // why a manifest was refused; "" when none was
    ManifestReader reader;
    PlanBuilder planner;
    UpdatePlan plan;
    // Files hashed for the plans before this one.
    qint64 hashed_before_plan = 0;
    UpdateRun *run = nullptr;
    // A run was started since the last read_manifest.
    bool run_started = false;
};
