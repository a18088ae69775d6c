#include "transfer/downloader.h"

#include "update_layout.h"

#include "app/network_access.h"
#include "files/open_folder.h"
#include "files/safe_file.h"
#include "files/scratch_area.h"
#include "install/extraction_backlog.h"
#include "install/extraction_task.h"
#include "transfer/download_spool.h"
#include "transfer/request_prefetcher.h"
#include "transfer/transfer_attempt.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

namespace {

const QString ARCHIVE_SUFFIX = update_layout::archive_suffix();

// Partial archives from this size on are kept on disk for a later run;
// smaller ones stay in memory.
constexpr qint64 RESUMABLE_SIZE = 32 * 1024;

// Errors that say the bytes received are not the file: a resumed archive
// that gives one of them is fetched once more from its first byte.
bool is_content_error(int code)
{
    return code < 0 || code == CODE_FILE_DAMAGED;
}

// The player's words for why an attempt failed, in the retry notice.
QString reason_text(const TransferAttempt::Result &result)
{
    using Reason = TransferAttempt::Reason;
    switch (result.reason) {
    case Reason::NotResponding:
        return TEXT_RETRY_NOT_RESPONDING;
    case Reason::TooSlow:
        return TEXT_RETRY_TOO_SLOW;
    case Reason::CannotConnect:
        return TEXT_RETRY_CANNOT_CONNECT;
    case Reason::ConnectionLost:
        return TEXT_RETRY_CONNECTION_LOST;
    case Reason::ServerError:
        return TEXT_RETRY_SERVER_ERROR.arg(result.http_status);
    case Reason::WrongPart:
        return TEXT_RETRY_WRONG_PART;
    case Reason::CannotResume:
        return TEXT_RETRY_CANNOT_RESUME;
    case Reason::TlsFailed:
        return TEXT_RETRY_TLS_FAILED;
    case Reason::None:
    case Reason::Other:
        break;
    }
    return QString();
}

} // namespace

Downloader::Downloader(const QString &url, const QString &file_path, bool compressed)
    : url(url), file_path(file_path), compressed(compressed)
{
}

Downloader::~Downloader() = default;

void Downloader::set_expected(const QString &hash, qint64 size)
{
    expected_hash = hash;
    expected_size = size;
}

void Downloader::cancel()
{
    cancelled = true;
    if (attempt)
        attempt->abort();
    if (pause_loop)
        pause_loop->quit();
}

QUrl Downloader::address_of(const QString &url)
{
    return QUrl(url + ARCHIVE_SUFFIX, QUrl::TolerantMode);
}

QString Downloader::target_name() const
{
    return display_name.isEmpty() ? QFileInfo(file_path).fileName() : display_name;
}

QUrl Downloader::request_address() const
{
    QUrl address = address_of(url);
    const QString key = cache_key.isEmpty() ? expected_hash : cache_key;
    if (cache_bypass >= 2 && !key.isEmpty()) {
        QUrlQuery query(address);
        query.addQueryItem(QStringLiteral("h"), key);
        address.setQuery(query);
    }
    return address;
}

int Downloader::next_cache_bypass() const
{
    const QString key = cache_key.isEmpty() ? expected_hash : cache_key;
    return !key.isEmpty() && cache_bypass < MAX_CACHE_BYPASS ? cache_bypass + 1 : 0;
}

void Downloader::download()
{
    if (compressed)
        download_compressed();
    else
        download_plain();
}

// Runs attempts until one completes, a failure is final, or the retries are
// used up. Each attempt continues from what is already in the file.
//
// Retries also end, with 905, once the transfer has made no progress for
// about twice the transfer time-out (a minute by default). Progress is a moment at
// which an attempt has received at least NETWORK_LOW_SPEED_BYTES within the
// last time-out span (TransferAttempt::advanced); an attempt that ends as too
// slow or silent has made none for a whole span. So a body sent at a byte a
// second ends after two slow attempts, while a transfer that was going well
// when its connection dropped gets the whole minute of pauses.
Downloader::Ending Downloader::transfer(DownloadSpool &output, Failure &failure)
{
    QNetworkAccessManager &manager =
        network_manager ? *network_manager : network_access::thread_manager();
    const QUrl address = request_address();
    const int attempts = retry_delays_ms.size() + 1;
    bool extraction_ended = false;
    QElapsedTimer since_progress;
    since_progress.start();
    // The network layer's timers may strike a little early (up to 5 %).
    const qint64 progress_limit = 2 * qint64(transfer_timeout_ms) - transfer_timeout_ms / 8;
    for (int number = 1; number <= attempts; ++number) {
        TransferAttempt current(manager, address, transfer_timeout_ms);
        if (cache_bypass > 0)
            current.bypass_caches();
        attempt = &current;
        connect(&current, &TransferAttempt::body_start, this, [&](qint64 start) {
            if (start == 0 && output.size() > 0) {
                // The server sends the whole file again: start over cleanly.
                if (extraction)
                    extraction->stop();
                output.clear();
            }
            // What a resumption names in If-Range, noted at once, so that a
            // kill during this very attempt still resumes safely.
            if (start == 0 || !current.validator().isEmpty())
                validator = current.validator();
            note_partial(output);
            follow_archive(output);
        });
        connect(&current, &TransferAttempt::written, this, [&] {
            follow_archive(output);
            note_partial(output);
        });
        connect(&current, &TransferAttempt::received, this, &Downloader::downloadProgress);
        connect(&current, &TransferAttempt::advanced, this, [&] { since_progress.restart(); });
        QMetaObject::Connection early;
        if (extraction)
            early = connect(extraction, &ExtractionTask::ended, &current, [&] {
                extraction_ended = true;
                current.abort();
            });
        std::unique_ptr<QNetworkReply> sent;
        if (prefetcher && cache_bypass == 0 && number == 1 && output.size() == 0)
            sent = prefetcher->take(address);
        const TransferAttempt::Result result = sent ? current.run_sent(output, std::move(sent))
                                                    : current.run(output, output.size(), validator);
        disconnect(early);
        attempt = nullptr;
        follow_archive(output);

        switch (result.outcome) {
        case TransferAttempt::Outcome::Complete:
            return Ending::Done;
        case TransferAttempt::Outcome::Aborted:
            // The extraction ended first: its outcome tells what happened.
            return cancelled ? Ending::Cancelled : Ending::Done;
        case TransferAttempt::Outcome::WriteFailed:
            if (output.disk_full())
                failure = {CODE_NO_DISK_SPACE, TEXT_DISK_FULL_WRITING.arg(target_name())};
            else if (output.create_failed())
                failure = {CODE_OPEN_WRITE_FAILED,
                           TEXT_OPEN_WRITE_FAILED.arg(target_name(), 0, QLatin1Char(' '))};
            else
                failure = {CODE_SHORT_WRITE,
                           TEXT_EXTRACT_FAILED.arg(target_name() +
                                                   (compressed ? ARCHIVE_SUFFIX : QString()))};
            return Ending::Failed;
        case TransferAttempt::Outcome::Fatal:
            failure = {CODE_DOWNLOAD_FAILED, TEXT_DOWNLOAD_FAILED.arg(target_name())};
            return Ending::Failed;
        case TransferAttempt::Outcome::Restart:
            if (extraction)
                extraction->stop();
            output.clear();
            validator.clear();
            break;
        case TransferAttempt::Outcome::Retry:
            if (since_progress.elapsed() >= progress_limit)
                number = attempts; // no progress for too long: this was the last
            else if (number < attempts && !pause(reason_text(result), number + 1, attempts))
                return Ending::Cancelled;
            break;
        }
        if (extraction_ended)
            return Ending::Done;
    }
    failure = {CODE_DOWNLOAD_FAILED, TEXT_DOWNLOAD_FAILED.arg(target_name())};
    return cancelled ? Ending::Cancelled : Ending::Failed;
}

// Waits before the next attempt without blocking the thread's events.
// False when the transfer was cancelled meanwhile.
bool Downloader::pause(const QString &reason, int next_attempt, int attempts)
{
    if (cancelled)
        return false;
    const int delay_ms = retry_delays_ms.value(next_attempt - 2, 0);
    if (retry_listener)
        retry_listener(reason, (delay_ms + 999) / 1000, next_attempt, attempts);
    QEventLoop loop;
    pause_loop = &loop;
    QTimer::singleShot(delay_ms, &loop, &QEventLoop::quit);
    loop.exec();
    pause_loop = nullptr;
    return !cancelled;
}

// The partial archive of an earlier attempt or run is continued when it was
// fetched from the same address for the same content; anything else starts
// from nothing, in memory.
void Downloader::open_archive(DownloadSpool &output, qint64 &offset)
{
    const QString archive = ScratchArea::partial_archive_path(file_path);
    ScratchArea::PartialNote note;
    const bool resumable = cache_bypass == 0 && !expected_hash.isEmpty() &&
        ScratchArea::read_note(file_path, note) && note.expected_hash == expected_hash &&
        note.url == url;
    offset = resumable ? safe_file::plain_file_size(archive) : -1;
    std::unique_ptr<QFile> partial;
    if (offset > 0)
        partial = safe_file::open_for_append(archive);
    if (partial) {
        validator = note.validator;
        output.adopt(std::move(partial));
        return;
    }
    // What is there belongs to other content. A partial archive without a
    // note (cut before its note was written) is replaced if the transfer
    // spills to disk, and cleared with the scratch folder otherwise.
    if (ScratchArea::has_note(file_path))
        ScratchArea::drop_partial(file_path);
    offset = 0;
    validator.clear();
}

// The extraction follows the archive once it is on disk; one that stays in
// memory is extracted when it is complete.
void Downloader::follow_archive(const DownloadSpool &output)
{
    if (!extraction || !output.on_disk())
        return;
    if (extraction->started())
        extraction->grow(output.size());
    else
        extraction->start(output.size());
}

// Creates the new file beside the target now, so that a folder that cannot
// take it fails before any request; the extraction reuses the empty file.
// The folder is reached as OpenFolder walks it: a link planted on the way
// since the verification is refused as it would have been then.
int Downloader::prepare_new_file() const
{
    QString leaf;
    OpenFolder::Status status;
    const OpenFolder folder = OpenFolder::open_parent(file_path, leaf, status);
    if (status == OpenFolder::Status::Refused)
        return CODE_FILES_REFUSED;
    if (!folder.is_open() || !folder.create_new(ScratchArea::extraction_name(leaf)))
        return CODE_OPEN_WRITE_FAILED;
    return 0;
}

// A partial archive gets its note (what it belongs to) once it is worth
// resuming; a smaller one is simply fetched again after a kill.
void Downloader::note_partial(const DownloadSpool &output)
{
    if (!compressed || expected_hash.isEmpty() || !output.on_disk() ||
        output.size() < RESUMABLE_SIZE)
        return;
    if (!note_written || noted_validator != validator) {
        note_written = ScratchArea::write_note({file_path, expected_hash, url, validator});
        noted_validator = validator;
    }
}

// Transfer and extraction run side by side: the extraction reads the archive
// as it grows on disk (a small archive stays in memory and is extracted once
// complete). A resumed archive whose content turns out wrong is fetched once
// more from its first byte; a whole one that is not the file is fetched again
// past caches, first with "no-cache", then with the hash in the query. Only
// locals are touched after the final emission: a receiver may delete this.
void Downloader::download_compressed()
{
    const QString archive_name = target_name() + ARCHIVE_SUFFIX;
    const QString archive = ScratchArea::partial_archive_path(file_path);
    DownloadSpool output(archive, RESUMABLE_SIZE);
    qint64 offset = 0;
    // The target's folder must take the new file: checked before any request.
    const int unwritable = prepare_new_file();
    if (unwritable == CODE_FILES_REFUSED) {
        emit download_error(CODE_FILES_REFUSED,
                            TEXT_FILES_REFUSED.arg(file_path, QStringLiteral("1")));
        return;
    }
    if (unwritable != 0 || !ScratchArea::ensure()) {
        ScratchArea::remove_extraction(file_path);
        emit download_error(CODE_OPEN_WRITE_FAILED,
                            TEXT_OPEN_WRITE_FAILED.arg(target_name(), 0, QLatin1Char(' ')));
        return;
    }
    open_archive(output, offset);
    ExtractTarget target {file_path, archive_name, expected_hash, expected_size};

    for (bool resumed = offset > 0;; resumed = false) {
        auto owned_task = std::make_unique<ExtractionTask>(archive, target);
        ExtractionTask &task = *owned_task;
        extraction = &task;
        follow_archive(output);
        Failure failure;
        const Ending ending = transfer(output, failure);
        if (ending != Ending::Done) {
            task.stop();
            extraction = nullptr;
            if (ending == Ending::Cancelled) {
                ScratchArea::remove_extraction(file_path);
                return;
            }
            // A transfer that may continue later keeps its partial archive.
            const bool keep = failure.code == CODE_DOWNLOAD_FAILED && output.size() > 0;
            output.close_file();
            if (!keep)
                ScratchArea::drop_partial(file_path);
            ScratchArea::remove_extraction(file_path);
            emit download_error(failure.code, failure.text);
            return;
        }
        if (!task.started()) {
            if (!output.on_disk()) {
                task.start_from_memory(output.memory());
            } else if (!task.start(output.size())) {
                extraction = nullptr;
                ScratchArea::remove_extraction(file_path);
                emit download_error(CODE_OPEN_READ_FAILED, TEXT_OPEN_READ_FAILED.arg(archive_name));
                return;
            }
        }
        task.finish();
        // A resumed archive is checked here: a wrong one is fetched again.
        if (backlog && !resumed && !task.has_ended()) {
            extraction = nullptr;
            const bool on_disk = output.on_disk();
            output.close_file();
            backlog->adopt(std::move(owned_task), file_path, on_disk, next_cache_bypass());
            emit download_finished();
            return;
        }
        const ExtractOutcome outcome = task.wait_for_outcome();
        extraction = nullptr;
        if (cancelled)
            return;
        if (resumed && is_content_error(outcome.code) && output.clear()) {
            validator.clear();
            continue;
        }
        if (outcome.code == CODE_FILE_DAMAGED && next_cache_bypass() > 0 && output.clear()) {
            cache_bypass = next_cache_bypass();
            validator.clear();
            continue;
        }
        output.close_file();
        ScratchArea::drop_partial(file_path);
        emit extract_finished();
        if (outcome.code != 0)
            emit download_error(outcome.code, outcome.text);
        else
            emit download_finished();
        return;
    }
}

void Downloader::download_plain()
{
    DownloadSpool output(file_path, -1);
    std::unique_ptr<QFile> file = safe_file::create_new(file_path);
    if (!file) {
        emit download_error(CODE_OPEN_WRITE_FAILED,
                            TEXT_OPEN_WRITE_FAILED.arg(target_name(), 0, QLatin1Char(' ')));
        return;
    }
    output.adopt(std::move(file));
    Failure failure;
    const Ending ending = transfer(output, failure);
    output.close_file();
    if (ending == Ending::Cancelled)
        return;
    if (ending != Ending::Done) {
        safe_file::remove_entry(file_path);
        emit download_error(failure.code, failure.text);
        return;
    }
    emit download_finished();
}

void Downloader::downloadProgress(qint64 bytes_read, qint64 bytes_total)
{
    emit download_progress(bytes_read, bytes_total);
}
