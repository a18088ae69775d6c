#include "updater/update_run.h"

#include "update_layout.h"

#include "files/free_space.h"
#include "files/open_folder.h"
#include "files/safe_file.h"
#include "files/scratch_area.h"
#include "app/player_error.h"
#include "install/extraction_backlog.h"
#include "install/patch_download.h"
#include "install/whole_file_download.h"
#include "patch_result.h"
#include "platform/program_start.h"
#include "transfer/request_prefetcher.h"
#include "updater/disk_need.h"
#include "updater/file_hasher.h"
#include "updater/progress_text.h"
#include "updater/release_order.h"
#include "updater/verify_cache.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QSet>
#include <QStorageInfo>

#include <cmath>
#include <memory>

namespace {

constexpr double MIB = 1024.0 * 1024.0;

// The request of the step at the front of `file`: its first patch, or the
// whole file's archive. Requests sent ahead are made the same way, so that
// the transfer takes them over.
TransferRequest step_request(const FileRecord &record, int whole_bypass, int patch_bypass,
                             int timeout_ms)
{
    TransferRequest request;
    request.timeout_ms = timeout_ms;
    const QString base = record.base_url.toString();
    if (!record.patch_chain.isEmpty()) {
        const PatchStep &step = record.patch_chain.head();
        request.url = QUrl(update_layout::patch_address(base, step.patch_name));
        request.cache_bypass = patch_bypass;
        request.cache_key = step.result_hash;
        return request;
    }
    request.url = QUrl(update_layout::archive_address(base, record.name));
    request.cache_bypass = whole_bypass;
    request.cache_key = record.expected_hash;
    // A small file shares the HTTP/2 connection of the requests sent ahead.
    request.http2_allowed =
        record.expected_size >= 0 && record.expected_size <= UpdateRun::PREFETCH_MAX_SIZE;
    return request;
}

// Temporary files of a verification-cache or release-order write that a
// kill cut short: the file's own name and a random suffix of six characters.
void remove_cache_leftovers(const GameFolder &game)
{
    const QDir folder(game.path());
    const QStringList leftovers =
        folder.entryList({VerifyCache::file_name() + QStringLiteral(".??????"),
                          ReleaseOrder::file_name() + QStringLiteral(".??????")},
                         QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : leftovers)
        safe_file::remove_entry(game.file_path(name));
}

} // namespace

UpdateRun::UpdateRun(const GameFolder &game, QObject *parent)
    : QObject(parent)
    , game_folder(game)
    , backlog(new ExtractionBacklog(BACKLOG_ON_DISK, this))
    , prefetcher(new RequestPrefetcher(this))
{
}

UpdateRun::~UpdateRun()
{
    delete_downloader();
}

// Cuts every connection from the downloader first, so nothing it still emits
// reaches this object, then deletes it.
void UpdateRun::delete_downloader()
{
    if (!downloader)
        return;
    disconnect(downloader, nullptr, this, nullptr);
    disconnect(&downloader->transfer(), nullptr, this, nullptr);
    disk_budget.release(downloader);
    delete downloader;
    downloader = nullptr;
}

void UpdateRun::start(const UpdatePlan &plan)
{
    queue.clear();
    for (const FileRecord &record : plan.files)
        queue.enqueue(QueuedFile {record, 0, 0, QString()});
    refused_files = plan.refused_files;
    QSet<QString> planned;
    QStringList targets;
    total_steps = plan.total_steps();
    for (const FileRecord &record : plan.files) {
        planned.insert(record.name);
        targets.append(record.name);
    }
    game_folder.scratch().sweep(planned, targets);
    remove_cache_leftovers(game_folder);
    running = true;
    if (total_steps != 0) {
        current_step = 0;
        if (!queue.isEmpty()) {
            if (!enough_disk_space())
                return;
            current_step = 1;
            start_next_download(queue.head());
            return;
        }
    }
    finish_run();
}

void UpdateRun::halt()
{
    running = false;
    if (downloader)
        downloader->cancel();
    backlog->stop_all();
    prefetcher->clear();
    disk_budget.clear();
}

// The volume (its root) that holds `folder` of the game folder, or the game
// folder's own when the folder cannot be looked at.
QString UpdateRun::volume_of(const QString &folder, QHash<QString, QString> &known) const
{
    const auto found = known.constFind(folder);
    if (found != known.constEnd())
        return *found;
    QStorageInfo storage(QDir(game_folder.path()).absoluteFilePath(folder));
    if (!storage.isValid())
        storage.setPath(game_folder.path());
    const QString root = storage.rootPath();
    known.insert(folder, root);
    return root;
}

bool UpdateRun::enough_disk_space()
{
    QHash<QString, QString> volumes;
    QVector<DiskNeed::PlannedFile> files;
    planned_disk.clear();
    disk_budget.clear();
    for (const QueuedFile &queued : qAsConst(queue)) {
        const FileRecord &record = queued.record;
        QString leaf;
        OpenFolder::Status status;
        const OpenFolder folder = game_folder.open_parent(record.name, leaf, status);
        const OpenFolder::EntryInfo old =
            folder.is_open() ? folder.entry_info(leaf) : OpenFolder::EntryInfo();
        DiskNeed::PlannedFile file;
        file.volume = volume_of(QFileInfo(record.name).path(), volumes);
        file.old_size = old.identity.size;
        file.new_size = record.expected_size;
        file.patched = !record.patch_chain.isEmpty();
        files.append(file);
        planned_disk.insert(record.name, file);
    }
    scratch_volume = volume_of(game_folder.scratch().folder(), volumes);
    // One step at a time must fit; when as many as may run at once do not,
    // the run holds fewer under way.
    const QMap<QString, qint64> one_step = DiskNeed::per_volume(files, scratch_volume, 1);
    const QMap<QString, qint64> parallel =
        DiskNeed::per_volume(files, scratch_volume, BACKLOG_ON_DISK + 1);
    const QMap<QString, qint64> growth = DiskNeed::per_volume(files, scratch_volume, 0);
    QMap<QString, qint64> room;
    bool tight = false;
    for (auto it = one_step.cbegin(); it != one_step.cend(); ++it) {
        const qint64 available = free_space(it.key());
        if (it.value() == 0 || available < 0)
            continue;
        if (it.value() > available) {
            end_with_error({UpdateFault::NoDiskSpace,
                            QString::number(qint64(std::ceil(double(it.value()) / MIB))),
                            QString::number(qint64(std::floor(double(available) / MIB)))});
            return false;
        }
        room.insert(it.key(), available - growth.value(it.key()));
        tight = tight || parallel.value(it.key()) > available;
    }
    if (tight)
        disk_budget.set_room(room);
    return true;
}

QMap<QString, qint64> UpdateRun::step_peak(const FileRecord &record, bool in_memory,
                                           qint64 archive_bytes) const
{
    const auto file = planned_disk.constFind(record.name);
    if (file == planned_disk.constEnd())
        return {};
    DiskNeed::PlannedFile whole = *file;
    whole.patched = false;
    return DiskNeed::step_peak(whole, scratch_volume, in_memory ? 0 : archive_bytes);
}

bool UpdateRun::disk_allows(const FileRecord &record, bool in_memory) const
{
    return disk_budget.fits(step_peak(record, in_memory));
}

void UpdateRun::finish_run()
{
    running = false;
    prefetcher->clear();
    // Every step is done: nothing is left to resume.
    game_folder.scratch().remove_if_empty();
    if (refused_files.isEmpty()) {
        emit finished(true);
        return;
    }
    end_with_error({UpdateFault::OutsideFolder, refused_files.first(),
                    QString::number(refused_files.size())});
}

void UpdateRun::end_with_error(const UpdateFailure &failure)
{
    halt();
    const PlayerError error = player_error(failure);
    emit download_error(error.code, error.text);
    emit finished(false);
}

int UpdateRun::next_bypass(const QueuedFile &file) const
{
    return step_request(file.record, file.whole_bypass, file.patch_bypass, network_timeout_ms)
        .next_cache_bypass();
}

QQueue<FileRecord> UpdateRun::remaining_files() const
{
    QQueue<FileRecord> files;
    for (const QueuedFile &file : queue)
        files.enqueue(file.record);
    return files;
}

void UpdateRun::fail(const UpdateFailure &failure)
{
    end_with_error(failure);
}

// The file at the front of the plan gives up its remaining patches (the one
// that failed, already taken off, counts as a done step) and goes to the
// back of the plan for one whole download.
void UpdateRun::download_whole_instead()
{
    QueuedFile whole = queue.dequeue();
    total_steps = total_steps + 1 - whole.record.patch_chain.size();
    whole.record.patch_chain.clear();
    whole.patch_bypass = 0;
    queue.enqueue(whole);
    ++current_step;
    schedule_next_download();
}

// Starts the step at the front of `file`: its first patch, or the whole
// file when no patch is left. The transfer runs on this thread and tells its
// outcome (step_ended), or hands its file on to the backlog (hand_on).
void UpdateRun::start_next_download(const QueuedFile &file, bool in_memory)
{
    const FileRecord &record = file.record;
    const TransferRequest request =
        step_request(record, file.whole_bypass, file.patch_bypass, network_timeout_ms);
    FileDownload *transfer = nullptr;
    WholeFileDownload *whole = nullptr;
    if (!record.patch_chain.isEmpty()) {
        const PatchStep &step = record.patch_chain.head();
        current_file_name = step.patch_name;
        game_folder.scratch().ensure();
        transfer = new PatchDownload(request, game_folder.scratch().patch_path(step.patch_name),
                                     QFileInfo(record.name).fileName());
    } else {
        current_file_name = record.name;
        whole = new WholeFileDownload(game_folder, request, record.name, true, prefetcher);
        transfer = whole;
        current_in_memory = in_memory;
        disk_budget.hold(transfer, step_peak(record, in_memory));
        whole->set_expected(record.expected_hash, record.expected_size, record.expected_sha256);
        if (in_memory)
            whole->keep_archive_in_memory(MEMORY_FILE_SIZE);
        prefetch_ahead();
    }
    transfer->transfer().set_retry_delays(retry_delays_ms);
    connect(&transfer->transfer(), &Downloader::retrying, this, &UpdateRun::report_retry);
    downloader = transfer;
    last_bytes_read = 0;
    last_bytes_total = -1;
    connect(transfer, &FileDownload::ended, this, &UpdateRun::step_ended);
    connect(&transfer->transfer(), &Downloader::download_progress, this,
            &UpdateRun::transfer_progress);
    download_timer.start();
    // The outcome comes queued. A cancelled transfer (the run was ended by
    // an earlier file's extraction) ends without one and is deleted here.
    if (transfer->download())
        hand_on(whole);
    else if (!running && downloader == transfer)
        delete_downloader();
}

// The step's file told its outcome. A whole archive that arrived whole and
// is not the file is fetched again at once, further past caches, while a
// level is left: a cache may hold an archive of an earlier release. An
// outcome that arrives after the run has ended (it comes queued) is dropped.
void UpdateRun::step_ended(const UpdateFailure &failure)
{
    if (!running) {
        delete_downloader();
        return;
    }
    if (!failure.failed()) {
        transfer_finished();
        return;
    }
    if (failure.fault == UpdateFault::NotTheFile && !queue.isEmpty() &&
        queue.head().record.patch_chain.isEmpty()) {
        QueuedFile &file = queue.head();
        const int level = next_bypass(file);
        if (level > 0) {
            delete_downloader();
            file.whole_bypass = level;
            start_next_download(queue.head(), current_in_memory);
            return;
        }
    }
    transfer_error(failure);
}

void UpdateRun::schedule_next_download()
{
    QMetaObject::invokeMethod(this, &UpdateRun::continue_run, Qt::QueuedConnection);
}

void UpdateRun::continue_run()
{
    if (!running || downloader)
        return;
    if (queue.isEmpty()) {
        if (backlog->empty())
            finish_run();
        return;
    }
    // The patch program needs the files of earlier steps in place.
    const QueuedFile &next = queue.head();
    if (!next.record.patch_chain.isEmpty()) {
        if (backlog->empty())
            start_next_download(next);
        return;
    }
    // On a tight disk a step waits until the files before it are installed.
    if (backlog->has_room()) {
        if (disk_allows(next.record, false))
            start_next_download(next);
    } else if (fits_in_memory(next) && backlog->has_memory_room() &&
               disk_allows(next.record, true)) {
        start_next_download(next, true);
    }
}

// A whole file small enough to keep its archive in memory, with no partial
// archive of an earlier run to continue (that lies on disk).
bool UpdateRun::fits_in_memory(const QueuedFile &file) const
{
    const FileRecord &record = file.record;
    return record.patch_chain.isEmpty() && record.expected_size >= 0 &&
        record.expected_size <= MEMORY_FILE_SIZE && !game_folder.scratch().has_note(record.name);
}

// The next whole files, as long as they are known to be small and have no
// partial archive to continue (that takes a request of its own).
void UpdateRun::prefetch_ahead()
{
    qint64 bytes = 0;
    for (int i = 1; i < queue.size() && i <= PREFETCH_DEPTH; ++i) {
        QueuedFile &file = queue[i];
        const FileRecord &record = file.record;
        if (!record.patch_chain.isEmpty() || record.expected_size < 0 ||
            record.expected_size > PREFETCH_MAX_SIZE || file.whole_bypass > 0)
            return;
        bytes += record.expected_size;
        if (bytes > PREFETCH_BYTES)
            return;
        if (file.prefetch_key.isEmpty())
            file.prefetch_key = RequestPrefetcher::key_of(
                step_request(record, file.whole_bypass, 0, network_timeout_ms));
        if (prefetcher->holds(file.prefetch_key))
            continue;
        if (!prefetcher->has_room(PREFETCH_DEPTH) || game_folder.scratch().has_note(record.name))
            return;
        prefetcher->prefetch(step_request(record, file.whole_bypass, 0, network_timeout_ms));
    }
}

// From here on the file's signals tell its outcome, not the step's; its
// step is over as if finished (the file leaves the queue).
void UpdateRun::hand_on(WholeFileDownload *file)
{
    const QueuedFile queued = queue.head();
    disconnect(file, nullptr, this, nullptr);
    disconnect(&file->transfer(), nullptr, this, nullptr);
    downloader = nullptr;
    connect(file, &FileDownload::ended, this, [this, file, queued](const UpdateFailure &failure) {
        extraction_ended(file, queued, failure);
    });
    backlog->adopt(std::unique_ptr<WholeFileDownload>(file));
    transfer_finished();
}

void UpdateRun::extraction_ended(WholeFileDownload *ended_file, const QueuedFile &file,
                                 const UpdateFailure &failure)
{
    // Deleted on return, once nothing here needs it.
    const std::unique_ptr<WholeFileDownload> ended = backlog->release(ended_file);
    disk_budget.release(ended_file);
    if (!running)
        return;
    const int refetch_level = failure.fault == UpdateFault::NotTheFile ? next_bypass(file) : 0;
    if (failure.failed() && refetch_level == 0) {
        end_with_error(failure);
        return;
    }
    if (refetch_level > 0)
        refetch_whole(file, refetch_level);
    // There may be room now, or nothing left.
    continue_run();
}

void UpdateRun::refetch_whole(const QueuedFile &file, int level)
{
    QueuedFile again = file;
    again.whole_bypass = level;
    // One more step, next in line: after the step under way, if any, else
    // first. It takes the number of a step that has not started yet, or the
    // next one when none is left.
    ++total_steps;
    if (queue.isEmpty())
        ++current_step;
    queue.insert(downloader ? 1 : 0, again);
}

// Runs the patch program on the game file, in its folder as OpenFolder
// reaches it: a folder link that is not the player's own, or a link in the
// file's own place, is refused before the program starts.
UpdateRun::PatchOutcome UpdateRun::apply_patch(const QString &name, const QString &result_hash,
                                               const QString &patch_path,
                                               const QString &result_sha256)
{
    QString leaf;
    OpenFolder::Status status;
    const OpenFolder folder = game_folder.open_parent(name, leaf, status);
    PatchOutcome outcome = PatchOutcome::Refused;
    if (status != OpenFolder::Status::Refused && !folder.entry_info(leaf).is_link) {
        // The target by its absolute path in the game folder, for the patch
        // program and for the check: the working directory need not be it.
        const QString target = game_folder.file_path(name);
        QProcess patcher;
        start_program(patcher, PATCH_PROGRAM, {patch_path, target});
        // Its output does not matter: the result hash decides, and the exit
        // status only tells a full disk from other failures.
        patcher.waitForFinished(-1);
        if (content_matches(FileHasher::digest_text(target), result_hash, result_sha256))
            outcome = PatchOutcome::Applied;
        else if (patcher.error() == QProcess::FailedToStart)
            outcome = PatchOutcome::NotStarted;
        else if (patcher.exitStatus() == QProcess::NormalExit &&
                 patcher.exitCode() == int(PatchError::NoSpace))
            outcome = PatchOutcome::NoSpace;
        else
            outcome = PatchOutcome::Failed;
    }
    safe_file::remove_entry(patch_path);
    return outcome;
}

void UpdateRun::report_retry(const QString &reason, int seconds, int attempt, int attempts)
{
    emit download_progress(last_bytes_read, last_bytes_total,
                           TEXT_RETRYING.arg(reason, QString::number(seconds),
                                             QString::number(attempt), QString::number(attempts)));
}

// A patch that cannot be fetched or written gives way to a whole download,
// as a patch that does not apply does; any other error ends the run.
void UpdateRun::transfer_error(const UpdateFailure &failure)
{
    const bool patch_step = !queue.isEmpty() && !queue.head().record.patch_chain.isEmpty();
    if (patch_step) {
        delete_downloader();
        queue.head().record.patch_chain.dequeue();
        download_whole_instead();
        return;
    }
    end_with_error(failure);
    delete_downloader();
}

void UpdateRun::transfer_progress(qint64 bytes_read, qint64 bytes_total)
{
    if (!running)
        return;
    last_bytes_read = bytes_read;
    last_bytes_total = bytes_total;
    // The archive's real size, once known, replaces its estimate.
    if (disk_budget.limited() && bytes_total >= 0 && downloader && !queue.isEmpty() &&
        queue.head().record.patch_chain.isEmpty())
        disk_budget.hold(downloader,
                         step_peak(queue.head().record, current_in_memory, bytes_total));
    const QString status = ProgressText::format(current_step, total_steps, bytes_read, bytes_total,
                                                download_timer.elapsed(), current_file_name);
    emit download_progress(bytes_read, bytes_total, status);
}

// Finishes the step under way: applies a downloaded patch (a failed one sends
// the file to the back of the queue for a whole download), drops the file
// once nothing is left of it, and starts the next step or ends the run.
void UpdateRun::transfer_finished()
{
    delete_downloader();
    if (queue.isEmpty())
        return;

    QueuedFile &file = queue.head();
    FileRecord &record = file.record;
    if (!record.patch_chain.isEmpty()) {
        const int patch_level = next_bypass(file);
        file.patch_bypass = 0;
        const PatchStep step = record.patch_chain.dequeue();
        // The chain's last patch must give the whole digest, where known.
        const PatchOutcome outcome = apply_patch(
            record.name, step.result_hash, game_folder.scratch().patch_path(step.patch_name),
            record.patch_chain.isEmpty() ? record.expected_sha256 : QString());
        if (outcome == PatchOutcome::NoSpace) {
            end_with_error({UpdateFault::DiskFull, QFileInfo(record.name).fileName(), QString()});
            return;
        }
        if (outcome == PatchOutcome::Refused) {
            end_with_error({UpdateFault::OutsideFolder, record.name, QStringLiteral("1")});
            return;
        }
        if (outcome == PatchOutcome::Failed && patch_level > 0) {
            // The patch arrived whole and is not the one named: a cache may
            // hold a damaged copy. It is fetched again past caches, as one
            // more step.
            file.patch_bypass = patch_level;
            record.patch_chain.prepend(step);
            ++total_steps;
        } else if (outcome != PatchOutcome::Applied) {
            download_whole_instead();
            return;
        }
    }
    if (queue.head().record.patch_chain.isEmpty())
        queue.dequeue();

    if (!queue.isEmpty())
        ++current_step;
    schedule_next_download();
}
