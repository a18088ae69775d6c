#include "updater/updater.h"

#include "update_layout.h"

#include "download/downloader.h"
#include "download/extraction_backlog.h"
#include "download/request_prefetcher.h"
#include "download/safe_file.h"
#include "download/scratch_area.h"
#include "platform/program_start.h"
#include "updater/progress_text.h"
#include "updater/verify_cache.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QSet>
#include <QStorageInfo>

#include <cmath>

namespace {

// Folder of the patches under a manifest's base URL.
const QString PATCH_FOLDER = update_layout::patch_folder();

constexpr double MIB = 1024.0 * 1024.0;

// Requests sent ahead: for files known to be this small, at most this many
// beyond the current one (each may use a connection of its own).
constexpr qint64 PREFETCH_MAX_SIZE = 256 * 1024;
constexpr int PREFETCH_DEPTH = 4;

// Temporary files of a verification-cache write that a kill cut short: the
// cache's own name and a random suffix of six characters.
void remove_cache_leftovers()
{
    const QStringList leftovers =
        QDir::current().entryList({VerifyCache::file_name() + QStringLiteral(".??????")},
                                  QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : leftovers)
        safe_file::remove_entry(name);
}

} // namespace

// Counts the steps, clears what a killed run left in the scratch folder
// (keeping partial archives of files still planned, so they resume), checks
// the free disk space and starts the first step.
void Updater::start_update()
{
    if (cancelled)
        return;
    QSet<QString> planned;
    QStringList targets;
    for (const FileRecord &record : qAsConst(file_queue)) {
        total_steps += record.patch_chain.isEmpty() ? 1 : record.patch_chain.size();
        planned.insert(record.name);
        targets.append(record.name);
    }
    ScratchArea::sweep(planned, targets);
    remove_cache_leftovers();
    fetched_whole.clear();
    running = true;
    if (total_steps != 0) {
        current_step = 0;
        if (!file_queue.isEmpty()) {
            if (!enough_disk_space())
                return;
            current_step = 1;
            start_next_download(file_queue.head());
            return;
        }
    }
    finish_run();
}

void Updater::cancel()
{
    cancelled = true;
    halt();
}

void Updater::halt()
{
    running = false;
    if (downloader)
        downloader->cancel();
    backlog->stop_all();
    prefetcher->clear();
}

bool Updater::enough_disk_space()
{
    qint64 needed = 0;
    for (const FileRecord &record : qAsConst(file_queue))
        needed += qMax<qint64>(record.expected_size, 0);
    if (needed == 0)
        return true;
    const QStorageInfo storage(QDir::current());
    const qint64 available = storage.isValid() ? storage.bytesAvailable() : -1;
    if (available < 0 || needed <= available)
        return true;
    running = false;
    emit download_error(CODE_NO_DISK_SPACE,
                        TEXT_NO_DISK_SPACE.arg(qint64(std::ceil(double(needed) / MIB)))
                            .arg(qint64(std::floor(double(available) / MIB))));
    emit update_finished(false);
    return false;
}

void Updater::finish_run()
{
    running = false;
    prefetcher->clear();
    if (refused_files.isEmpty()) {
        emit update_finished(true);
        return;
    }
    emit download_error(CODE_FILES_REFUSED,
                        TEXT_FILES_REFUSED.arg(refused_files.first()).arg(refused_files.size()));
    emit update_finished(false);
}

// Starts the step at the front of `record`: its first patch, or the whole
// file when no patch is left. The transfer runs on this thread and reports
// through the three slots.
void Updater::start_next_download(const FileRecord &record)
{
    QString remote_path;
    QString local_path;
    bool compressed = false;
    int cache_bypass = record.cache_bypass;
    QString cache_key = record.expected_hash;
    if (!record.patch_chain.isEmpty()) {
        const PatchStep &step = record.patch_chain.head();
        remote_path = PATCH_FOLDER + step.patch_name;
        local_path = ScratchArea::patch_path(step.patch_name);
        current_file_name = step.patch_name;
        cache_bypass = step.cache_bypass;
        cache_key = step.result_hash;
        ScratchArea::ensure();
    } else {
        remote_path = record.name;
        local_path = record.name;
        current_file_name = record.name;
        compressed = true;
    }

    Downloader *transfer =
        new Downloader(record.base_url.toString() + remote_path, local_path, compressed);
    transfer->set_transfer_timeout(network_timeout_ms);
    transfer->set_retry_delays(retry_delays_ms);
    transfer->set_cache_bypass(cache_bypass);
    transfer->set_cache_key(cache_key);
    if (compressed) {
        transfer->set_expected(record.expected_hash, record.expected_size);
        transfer->set_extraction_backlog(backlog);
        transfer->set_prefetcher(prefetcher);
        prefetch_ahead();
    }
    transfer->set_retry_listener(
        [this](const QString &reason, int seconds, int attempt, int attempts) {
            report_retry(reason, seconds, attempt, attempts);
        });
    downloader = transfer;
    last_bytes_read = 0;
    last_bytes_total = -1;
    connect(transfer, &Downloader::download_finished, this, &Updater::download_finished);
    connect(transfer, &Downloader::download_error, this, &Updater::handle_download_error);
    connect(transfer, &Downloader::download_progress, this,
            qOverload<qint64, qint64>(&Updater::download_progress));
    download_timer.start();
    // `record` and `downloader` may be gone once this returns: the slots
    // consume the queue and delete the transfer. A cancelled transfer (the
    // run was cancelled or ended by an earlier file's extraction) ends
    // without a signal and is deleted here.
    transfer->download();
    if (!running && downloader == transfer)
        delete_downloader();
}

void Updater::schedule_next_download()
{
    QMetaObject::invokeMethod(this, &Updater::continue_run, Qt::QueuedConnection);
}

void Updater::continue_run()
{
    if (!running || downloader)
        return;
    if (file_queue.isEmpty()) {
        if (backlog->empty())
            finish_run();
        return;
    }
    // The patch program needs the files of earlier steps in place.
    const bool patch_step = !file_queue.head().patch_chain.isEmpty();
    if (patch_step ? backlog->empty() : backlog->has_room())
        start_next_download(file_queue.head());
}

// The next whole files, as long as they are known to be small and have no
// partial archive to continue (that takes a request of its own).
void Updater::prefetch_ahead()
{
    for (int i = 1; i < file_queue.size() && i <= PREFETCH_DEPTH; ++i) {
        const FileRecord &record = file_queue.at(i);
        if (!record.patch_chain.isEmpty() || record.expected_size < 0 ||
            record.expected_size > PREFETCH_MAX_SIZE || record.cache_bypass > 0)
            return;
        const QUrl address = Downloader::address_of(record.base_url.toString() + record.name);
        if (prefetcher->holds(address))
            continue;
        if (ScratchArea::has_note(record.name))
            return;
        prefetcher->prefetch(address, network_timeout_ms);
    }
}

void Updater::extraction_failed(int error_code, const QString &what)
{
    if (!running)
        return;
    halt();
    emit download_error(error_code, what);
    emit update_finished(false);
}

void Updater::refetch_whole(const QString &name, int level)
{
    if (!running)
        return;
    const auto it = fetched_whole.constFind(name);
    if (it == fetched_whole.constEnd()) {
        extraction_failed(CODE_FILE_DAMAGED, TEXT_FILE_DAMAGED.arg(QFileInfo(name).fileName()));
        return;
    }
    FileRecord again = it.value();
    again.cache_bypass = level;
    // One more step, next in line: after the step under way, if any, else
    // first. It takes the number of a step that has not started yet, or the
    // next one when none is left.
    ++total_steps;
    if (file_queue.isEmpty())
        ++current_step;
    file_queue.insert(downloader ? 1 : 0, again);
    // The backlog's change report that follows starts it when there is room.
}

bool Updater::apply_patch(const QString &name, const QString &result_hash,
                          const QString &patch_path, bool &ran)
{
    QProcess patcher;
    start_program(patcher, PATCH_PROGRAM, {patch_path, name});
    // Its exit status and output do not matter: the result hash decides.
    patcher.waitForFinished(-1);
    ran = patcher.error() != QProcess::FailedToStart;
    const bool applied = file_hash(name) == result_hash;
    safe_file::remove_entry(patch_path);
    return applied;
}

void Updater::report_retry(const QString &reason, int seconds, int attempt, int attempts)
{
    emit download_progress(last_bytes_read, last_bytes_total,
                           TEXT_RETRYING.arg(reason).arg(seconds).arg(attempt).arg(attempts));
}

// A patch whose transfer failed for good gives way to a whole download, as a
// patch that does not apply does; any other error ends the run.
void Updater::handle_download_error(int error_code, const QString &what)
{
    const bool patch_step = !file_queue.isEmpty() && !file_queue.head().patch_chain.isEmpty();
    if (patch_step && error_code == CODE_DOWNLOAD_FAILED) {
        delete_downloader();
        FileRecord &record = file_queue.head();
        record.patch_chain.dequeue();
        total_steps = total_steps + 1 - record.patch_chain.size();
        record.patch_chain.clear();
        const FileRecord whole_download = record;
        file_queue.enqueue(whole_download);
        file_queue.dequeue();
        ++current_step;
        schedule_next_download();
        return;
    }
    halt();
    emit download_error(error_code, what);
    emit update_finished(false);
    delete_downloader();
}

void Updater::download_progress(qint64 bytes_read, qint64 bytes_total)
{
    if (!running)
        return;
    last_bytes_read = bytes_read;
    last_bytes_total = bytes_total;
    const QString status = ProgressText::format(current_step, total_steps, bytes_read, bytes_total,
                                                download_timer.elapsed(), current_file_name);
    emit download_progress(bytes_read, bytes_total, status);
}

// Finishes the step under way: applies a downloaded patch (a failed one sends
// the file to the back of the plan for a whole download), drops the record
// once nothing is left of it, and starts the next step or ends the run.
void Updater::download_finished()
{
    delete_downloader();
    if (file_queue.isEmpty() || cancelled)
        return;

    FileRecord &record = file_queue.head();
    if (!record.patch_chain.isEmpty()) {
        PatchStep step = record.patch_chain.dequeue();
        bool ran = false;
        const bool applied = apply_patch(record.name, step.result_hash,
                                         ScratchArea::patch_path(step.patch_name), ran);
        if (applied) {
            // Done; the next patch of the chain, if any, follows.
        } else if (ran && step.cache_bypass < Downloader::MAX_CACHE_BYPASS) {
            // The patch arrived whole and is not the one named: a cache may
            // hold a damaged copy. It is fetched again past caches, as one
            // more step.
            ++step.cache_bypass;
            record.patch_chain.prepend(step);
            ++total_steps;
        } else {
            // The failed patch counts as done; its remaining patches give way
            // to one whole download.
            total_steps = total_steps + 1 - record.patch_chain.size();
            record.patch_chain.clear();
            const FileRecord whole_download = record;
            file_queue.enqueue(whole_download);
        }
    } else {
        fetched_whole.insert(record.name, record);
    }
    if (file_queue.head().patch_chain.isEmpty())
        file_queue.dequeue();

    if (!file_queue.isEmpty())
        ++current_step;
    schedule_next_download();
}
