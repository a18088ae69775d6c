#pragma once

#include "app/constants.h"
#include "app/update_failure.h"
#include "files/game_folder.h"
#include "updater/disk_budget.h"
#include "updater/disk_need.h"
#include "updater/file_record.h"

#include <QElapsedTimer>
#include <QHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QVector>

class FileDownload;
class WholeFileDownload;
class ExtractionBacklog;
class RequestPrefetcher;

// Keeps the game installation current against the manifest of the download
// service. read_manifest and read_extra_manifest run as tasks on the global
// thread pool (QtConcurrent::run); everything else runs on the thread the
// Updater lives on. While a task runs, the caller leaves the Updater alone
// until the task's future has finished: no two tasks may overlap, and the
// Updater may not be deleted under a running task.
class Updater : public QObject
{
    Q_OBJECT

public:
    explicit Updater(const QUrl &base_url);
    ~Updater() override;

    QString get_launcher_version() const;
    QString get_server_version() const;
    QString get_exec_name() const;

    // The update plan and its counters, for inspection.
    const QQueue<FileRecord> &get_file_queue() const { return file_queue; }
    qint64 get_current_step() const { return current_step; }
    qint64 get_total_steps() const { return total_steps; }
    // Listed files that were left out because their name or folder would
    // reach outside the game folder: in key order, each name once, since the
    // last read_manifest.
    const QStringList &get_refused_files() const { return refused_files; }
    // Files read and hashed by the verifications of this Updater so far; the
    // others had a hash text in the verification cache.
    qint64 get_hashed_file_count() const { return hashed_file_count; }

    // Inactivity limit of every exchange this Updater makes (manifest fetches
    // and downloads): a server that sends nothing for this long ends the
    // exchange as failed. A download attempt also ends when it receives less
    // than NETWORK_LOW_SPEED_BYTES in a span this long, and its retries stop
    // after about two such spans without progress (Downloader). Set it while
    // no task runs.
    void set_network_timeout(int ms) { network_timeout_ms = ms; }
    // The next file check hashes every listed file instead of trusting what
    // it may skip. Set it while no task runs.
    void set_full_verification(bool full) { full_verification = full; }

    // Public keys (PEM text, one or more "PUBLIC KEY" blocks), one of which
    // must have signed every manifest this Updater reads: each manifest is
    // used only when the signature beside it (manifest name + ".sig") is
    // valid over the exact bytes received, and when it gives every file's
    // "sha256", its "sequence" and the "distribution" it was fetched for,
    // has not expired and is no earlier release than one this game folder
    // accepted before (ReleaseOrder). Empty: manifests are read as they come
    // and no signature is ever requested. Starts as the default below. Set
    // it while no task runs.
    void set_manifest_keys(const QByteArray &pem) { manifest_keys = pem; }
    // The keys each new Updater starts with: those compiled in
    // (ORVEX_MANIFEST_PUBLIC_KEY) unless replaced here (tests do, before
    // they build the window).
    static QByteArray default_manifest_keys();
    static void set_default_manifest_keys(const QByteArray &pem);
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

    static QString file_hash(const QString &path);
    static void plan_patch_chain(QQueue<PatchStep> &chain, const QString &local_hash,
                                 const QString &expected_hash, const QJsonArray &patches);

    // Works through the plan step by step; ends with update_finished().
    void start_update();
    // Pauses before the retries of a failed transfer (their number is the
    // number of retries).
    void set_retry_delays(const QVector<int> &delays_ms) { retry_delays_ms = delays_ms; }

signals:
    void download_error(int error_code, const QString &what);
    void download_progress(qint64 bytes_read, qint64 bytes_total, const QString &status);
    void manifest_read();
    void got_manifest();
    void update_finished(bool success);

private slots:
    void handle_download_error(const UpdateFailure &failure);
    void download_progress(qint64 bytes_read, qint64 bytes_total);
    void download_finished();

private:
    bool fetch_manifest(const QUrl &url, QByteArray &data);
    // True when no keys are set, or when the manifest fetched from url for
    // `distribution` (its bytes in data) is signed by one of them and fits
    // this game folder; otherwise marks the manifest refused, with the reason.
    bool manifest_accepted(const QUrl &url, const QByteArray &data, const QString &distribution);
    // The signature at url; false when none arrived.
    bool fetch_signature(const QUrl &url, bool past_caches, QByteArray &signature);
    // Ends a run asked for after a refused manifest, before anything is
    // touched: reports the refusal and update_finished(false).
    bool refuse_unsigned_run();
    // Takes "exec" from a manifest object if it names a safe local file.
    void read_exec_name(const QJsonObject &manifest);
    // `in_memory`: a whole file's archive stays in memory (the backlog's
    // share of the disk is taken).
    void start_next_download(const FileRecord &record, bool in_memory = false);
    // Starts the step at the front of the plan from the event loop, so that
    // steps do not nest inside the previous step's completion.
    void schedule_next_download();
    // Starts the step at the front of the plan once the extractions still
    // running allow it (a patch step waits for all of them), or ends the run
    // once the plan is done and every extraction has ended.
    void continue_run();
    bool fits_in_memory(const FileRecord &record) const;
    // Sends the requests of the next few small whole files ahead.
    void prefetch_ahead();
    // The step's transfer ended with its file still extracting: the
    // file goes to the backlog and tells its outcome from there
    // (extraction_ended); the next step may start.
    void hand_on(WholeFileDownload *file);
    // The step's file has told its outcome (see step_ended in the source).
    void step_ended(const UpdateFailure &failure);
    // A file of an earlier step has told its outcome from the backlog: an
    // error ends the run; a whole archive that is not the file gets one more
    // step, as `record` was planned, fetched further past caches while a
    // level is left.
    void extraction_ended(WholeFileDownload *file, const FileRecord &record,
                          const UpdateFailure &failure);
    // The file of `record` is planned once more, fetched past caches at
    // `level`, as the next step.
    void refetch_whole(const FileRecord &record, int level);
    // Ends the run: no further step starts and no signal follows.
    void halt();
    // Ends the run with one error (in the player's code and text), then
    // update_finished(false).
    void end_with_error(const UpdateFailure &failure);
    // A failed patch: the file is fetched whole instead, at the back of the plan.
    void download_whole_instead();
    // What running the patch program came to. NotStarted: the program could
    // not be started at all, so fetching the patch again cannot help.
    enum class PatchOutcome { Applied, Failed, NotStarted, NoSpace, Refused };
    // `result_sha256`: the whole digest the result must have ("": only its
    // hash text is known).
    PatchOutcome apply_patch(const QString &name, const QString &result_hash,
                             const QString &patch_path, const QString &result_sha256);
    // Checks before the first transfer that each volume the plan writes to
    // can hold what the plan needs there one step at a time (DiskNeed);
    // reports 907 and ends the run when one cannot. When the steps that could
    // run at once would not fit, limits them by disk_budget.
    bool enough_disk_space();
    // What the step of a whole file holds on disk while it runs (disk_budget).
    QMap<QString, qint64> step_peak(const FileRecord &record, bool in_memory,
                                    qint64 archive_bytes = -1) const;
    // Whether the step of a whole file may start beside those under way.
    bool disk_allows(const FileRecord &record, bool in_memory) const;
    QString volume_of(const QString &folder, QHash<QString, QString> &known) const;
    // Ends a run whose steps all succeeded: an error when listed files had
    // to be left out, else success.
    void finish_run();
    void report_retry(const QString &reason, int seconds, int attempt, int attempts);
    void delete_downloader();

    QUrl base_url;
    // The folder the update works on: the working directory at construction.
    const GameFolder game_folder;
    QString launcher_version;
    QString server_version;
    QString exec_name = GAME_EXECUTABLE;
    QQueue<FileRecord> file_queue;
    qint64 current_step = 0;
    qint64 total_steps = 0;
    QElapsedTimer download_timer;
    QString current_file_name;
    FileDownload *downloader = nullptr;
    // Files of earlier steps still extracting while later steps transfer.
    ExtractionBacklog *backlog = nullptr;
    // Requests of coming small files, sent while earlier steps run.
    RequestPrefetcher *prefetcher = nullptr;
    // A run is under way: set by start_update, cleared when it ends.
    bool running = false;
    int network_timeout_ms = NETWORK_INACTIVITY_TIMEOUT_MS;
    bool full_verification = false;
    QVector<int> retry_delays_ms = NETWORK_RETRY_DELAYS_MS;
    qint64 last_bytes_read = 0;
    qint64 last_bytes_total = -1;
    QStringList refused_files;
    qint64 hashed_file_count = 0;
    QByteArray manifest_keys = default_manifest_keys();
    QString refusal; // why a manifest was refused; "" when none was
    // Limits the steps under way on a disk too small for all of them, with
    // the disk facts of each planned file (by name) and the scratch folder's
    // volume; the current step keeps its archive in memory or not.
    DiskBudget disk_budget;
    QHash<QString, DiskNeed::PlannedFile> planned_disk;
    QString scratch_volume;
    bool current_in_memory = false;
};
