#pragma once

#include "app/constants.h"
#include "app/update_failure.h"
#include "files/game_folder.h"
#include "updater/disk_budget.h"
#include "updater/disk_need.h"
#include "updater/update_plan.h"

#include <QElapsedTimer>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QQueue>
#include <QString>
#include <QVector>

#include <memory>

class FileDownload;
class FolderCursor;
class WholeFileDownload;
class ExtractionBacklog;
class RequestPrefetcher;

// Works through an update plan step by step on the thread it lives on: one
// transfer at a time, whole files extracting behind it in the backlog, the
// requests of small files sent ahead, the disk checked before the first
// step and watched while steps overlap, and each patch applied by the patch
// program. Reports progress and at most one error, then finished().
class UpdateRun : public QObject
{
    Q_OBJECT

public:
    // Whole files of at most this size may keep their archive in memory.
    static constexpr qint64 MEMORY_FILE_SIZE = 1 << 20;
    // Archives on disk whose extraction may run at once with the transfer of
    // the next step (which adds one more).
    static constexpr int BACKLOG_ON_DISK = 2;
    // Requests sent ahead: for files known to be this small, at most this
    // many beyond the current one, and no more bytes in all than
    // PREFETCH_BYTES. Over HTTP/2 they share one connection; over HTTP/1.1
    // the network layer sends them on its connections to the server as each
    // one frees, without waiting for this thread (RequestPrefetcher). A
    // request waiting for a connection counts towards its inactivity limit:
    // the byte bound keeps that wait short on a slow line (as many bytes as
    // four requests of the largest size).
    static constexpr qint64 PREFETCH_MAX_SIZE = 256 * 1024;
    static constexpr int PREFETCH_DEPTH = 48;
    static constexpr qint64 PREFETCH_BYTES = 4 * PREFETCH_MAX_SIZE;

    // `game`: the folder the plan's files are installed in.
    explicit UpdateRun(const GameFolder &game, QObject *parent = nullptr);
    ~UpdateRun() override;

    // Inactivity limit of each transfer; set while no run is under way.
    void set_network_timeout(int ms) { network_timeout_ms = ms; }
    // Pauses before the retries of a failed transfer.
    void set_retry_delays(const QVector<int> &delays_ms) { retry_delays_ms = delays_ms; }

    // Counts the steps, clears what a killed run left in the scratch folder
    // (keeping partial archives of files still planned, so they resume),
    // checks the free disk space and starts the first step.
    void start(const UpdatePlan &plan);
    // Ends the run before any step with this error.
    void fail(const UpdateFailure &failure);
    // The steps of the last run, grown by each fetch it had to repeat.
    qint64 get_total_steps() const { return total_steps; }
    // The files of the last run's plan whose steps had not begun or not
    // ended when it stopped, front first: none after a run that succeeded.
    QQueue<FileRecord> remaining_files() const;

signals:
    void download_error(int error_code, const QString &what);
    void download_progress(qint64 bytes_read, qint64 bytes_total, const QString &status);
    void finished(bool success);

private:
    // A file of the plan as the run works on it: its patches still to apply
    // and how hard the transfers ask past caches (raised when a body arrived
    // whole but was not the file, or not the patch named).
    struct QueuedFile
    {
        FileRecord record;
        int whole_bypass = 0;
        // For the patch at the front of record.patch_chain.
        int patch_bypass = 0;
        // The address of its archive as the requests sent ahead are kept,
        // made once: the queue ahead is looked over at every step.
        QString prefetch_key;
        // An earlier patch of the chain has left its result in the scratch
        // area: the next patch applies to that (PatchChain).
        bool patch_result = false;
    };

    // The level past caches at which the step at the front of `file` (its
    // first patch, or the whole file) would be fetched again; 0 when none
    // is left.
    int next_bypass(const QueuedFile &file) const;
    // The step's file told its outcome (see the source).
    void step_ended(const UpdateFailure &failure);
    void transfer_error(const UpdateFailure &failure);
    void transfer_progress(qint64 bytes_read, qint64 bytes_total);
    void transfer_finished();
    // `in_memory`: a whole file's archive stays in memory (the backlog's
    // share of the disk is taken).
    void start_next_download(const QueuedFile &file, bool in_memory = false);
    // Starts the step at the front of the queue from the event loop, so that
    // steps do not nest inside the previous step's completion.
    void schedule_next_download();
    // Starts the step at the front of the queue once the extractions still
    // running allow it (a patch step waits for all of them), or ends the run
    // once the queue is done and every extraction has ended.
    void continue_run();
    bool fits_in_memory(const QueuedFile &file) const;
    // Sends the requests of the next few small whole files ahead.
    void prefetch_ahead();
    // The step's transfer ended with its file still extracting: the file
    // goes to the backlog and tells its outcome from there
    // (extraction_ended); the next step may start.
    void hand_on(WholeFileDownload *file);
    // A file of an earlier step has told its outcome from the backlog: an
    // error ends the run; a whole archive that is not the file gets one more
    // step, as `file` was queued, fetched further past caches while a level
    // is left.
    void extraction_ended(WholeFileDownload *ended_file, const QueuedFile &file,
                          const UpdateFailure &failure);
    // The whole file is queued once more, fetched past caches at `level`, as
    // the next step.
    void refetch_whole(const QueuedFile &file, int level);
    // Ends the run: no further step starts and no signal follows.
    void halt();
    // Ends the run with one error (in the player's code and text), then
    // finished(false).
    void end_with_error(const UpdateFailure &failure);
    // A failed patch: the file is fetched whole instead, at the back of the
    // queue; what its chain left in the scratch area is removed.
    void download_whole_instead();
    // Checks before the first transfer that each volume the queue writes to
    // can hold what it needs there one step at a time (DiskNeed); reports
    // 907 and ends the run when one cannot. When the steps that could run at
    // once would not fit, limits them by disk_budget.
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

    const GameFolder game_folder;
    QQueue<QueuedFile> queue;
    QStringList refused_files;
    qint64 current_step = 0;
    qint64 total_steps = 0;
    QElapsedTimer download_timer;
    QString current_file_name;
    FileDownload *downloader = nullptr;
    // Files of earlier steps still extracting while later steps transfer.
    ExtractionBacklog *backlog = nullptr;
    // Requests of coming small files, sent while earlier steps run.
    RequestPrefetcher *prefetcher = nullptr;
    // A run is under way: set by start, cleared when it ends.
    bool running = false;
    int network_timeout_ms = NETWORK_INACTIVITY_TIMEOUT_MS;
    QVector<int> retry_delays_ms = NETWORK_RETRY_DELAYS_MS;
    qint64 last_bytes_read = 0;
    qint64 last_bytes_total = -1;
    // The run's own average speed, shown for a step too short to time.
    QElapsedTimer run_timer;
    qint64 run_bytes_before_step = 0;
    // The folders of the run's whole files, each walked once for its run of
    // files (the plan is in name order).
    std::unique_ptr<FolderCursor> target_folders;
    // Limits the steps under way on a disk too small for all of them, with
    // the disk facts of each planned file (by name) and the scratch folder's
    // volume; the current step keeps its archive in memory or not.
    DiskBudget disk_budget;
    QHash<QString, DiskNeed::PlannedFile> planned_disk;
    QString scratch_volume;
    bool current_in_memory = false;
};
