#include "updater/updater.h"

#include "download/downloader.h"
#include "platform/program_start.h"
#include "updater/progress_text.h"

#include <QFile>
#include <QProcess>

namespace {

// Folder of the patches under a manifest's base URL.
const QString PATCH_FOLDER = QStringLiteral("patches/");

} // namespace

void Updater::start_update()
{
    for (const FileRecord &record : qAsConst(file_queue))
        total_steps += record.patch_chain.isEmpty() ? 1 : record.patch_chain.size();
    if (total_steps != 0) {
        current_step = 0;
        if (!file_queue.isEmpty()) {
            current_step = 1;
            start_next_download(file_queue.head());
            return;
        }
    }
    emit update_finished(true);
}

// Starts the step at the front of `record`: its first patch, or the whole
// file when no patch is left. The transfer runs on this thread and reports
// through the three slots.
void Updater::start_next_download(const FileRecord &record)
{
    QString remote_path;
    QString local_name;
    bool compressed = false;
    if (!record.patch_chain.isEmpty()) {
        const PatchStep &step = record.patch_chain.head();
        remote_path = PATCH_FOLDER + step.patch_name;
        local_name = step.patch_name;
    } else {
        remote_path = record.name;
        local_name = record.name;
        compressed = true;
    }

    Downloader *transfer =
        new Downloader(record.base_url.toString() + remote_path, local_name, compressed);
    transfer->set_transfer_timeout(network_timeout_ms);
    downloader = transfer;
    current_file_name = local_name;
    connect(transfer, &Downloader::download_finished, this, &Updater::download_finished);
    connect(transfer, &Downloader::download_error, this, &Updater::handle_download_error);
    connect(transfer, &Downloader::download_progress, this,
            qOverload<qint64, qint64>(&Updater::download_progress));
    download_timer.start();
    // `record` and `downloader` may be gone once this returns: the slots
    // consume the queue and delete the transfer.
    transfer->download();
}

void Updater::schedule_next_download()
{
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (!file_queue.isEmpty())
                start_next_download(file_queue.head());
        },
        Qt::QueuedConnection);
}

bool Updater::apply_patch(const QString &name, const QString &result_hash,
                          const QString &patch_name)
{
    QProcess patcher;
    start_program(patcher, PATCH_PROGRAM, {patch_name, name});
    // Its exit status and output do not matter: the result hash decides.
    patcher.waitForFinished(-1);
    const bool applied = file_hash(name) == result_hash;
    QFile::remove(patch_name);
    return applied;
}

void Updater::handle_download_error(int error_code, const QString &what)
{
    emit download_error(error_code, what);
    emit update_finished(false);
    delete_downloader();
}

void Updater::download_progress(qint64 bytes_read, qint64 bytes_total)
{
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
    if (file_queue.isEmpty())
        return;

    FileRecord &record = file_queue.head();
    if (!record.patch_chain.isEmpty()) {
        const PatchStep step = record.patch_chain.dequeue();
        if (!apply_patch(record.name, step.result_hash, step.patch_name)) {
            // The failed patch counts as done; its remaining patches give way
            // to one whole download.
            total_steps = total_steps + 1 - record.patch_chain.size();
            record.patch_chain.clear();
            const FileRecord whole_download = record;
            file_queue.enqueue(whole_download);
        }
    }
    if (file_queue.head().patch_chain.isEmpty())
        file_queue.dequeue();

    if (!file_queue.isEmpty()) {
        ++current_step;
        schedule_next_download();
    } else {
        emit update_finished(true);
    }
}
