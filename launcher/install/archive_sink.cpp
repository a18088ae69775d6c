#include "install/archive_sink.h"

#include "update_layout.h"

#include "app/constants.h"
#include "files/open_folder.h"
#include "files/safe_file.h"
#include "files/scratch_area.h"
#include "install/extraction_task.h"

#include <QFile>
#include <QFileInfo>

namespace {

const QString ARCHIVE_SUFFIX = update_layout::archive_suffix();

// Partial archives from this size on are kept on disk for a later run;
// smaller ones stay in memory.
constexpr qint64 RESUMABLE_SIZE = 32 * 1024;

// Errors that say the bytes received are not the file: a continued archive
// that gives one of them is fetched once more from its first byte.
bool is_content_error(int code)
{
    return code < 0 || code == CODE_FILE_DAMAGED;
}

} // namespace

ArchiveSink::ArchiveSink(const GameFolder &game, const QString &url, const QString &file_path,
                         bool may_hand_on)
    : game(game)
    , scratch(game.scratch())
    , url(url)
    , file_path(file_path)
    , archive(scratch.partial_archive_path(file_path))
    , may_hand_on(may_hand_on)
    , output(archive, RESUMABLE_SIZE)
{
}

ArchiveSink::~ArchiveSink() = default;

void ArchiveSink::set_expected(const QString &hash, qint64 size, const QString &sha256)
{
    expected_hash = hash;
    expected_sha256 = sha256;
    expected_size = size;
}

// An archive kept in memory spills to disk all the same beyond twice the
// file's size limit: it is then larger than any archive of its file, and the
// extraction follows it on disk and stops it where the file would end.
void ArchiveSink::keep_in_memory(qint64 largest_file)
{
    output.set_spill_size(2 * largest_file);
}

QString ArchiveSink::name() const
{
    return display_name.isEmpty() ? QFileInfo(file_path).fileName() : display_name;
}

// Creates the new file beside the target now, so that a folder that cannot
// take it fails before any request; the extraction reuses the empty file.
// The folder is reached as OpenFolder walks it: a link planted on the way
// since the verification is refused as it would have been then.
int ArchiveSink::prepare_new_file() const
{
    QString leaf;
    OpenFolder::Status status;
    const OpenFolder folder = game.open_parent(file_path, leaf, status);
    if (status == OpenFolder::Status::Refused)
        return CODE_FILES_REFUSED;
    if (!folder.is_open() || !folder.create_new(ScratchArea::extraction_name(leaf)))
        return CODE_OPEN_WRITE_FAILED;
    return 0;
}

// The target's folder must take the new file, checked before any request.
// The partial archive of an earlier attempt or run is continued when it was
// fetched from the same address for the same content; anything else starts
// from nothing, in memory.
bool ArchiveSink::open(bool may_continue, qint64 &offset, QByteArray &earlier_validator,
                       Failure &failure)
{
    const int unwritable = prepare_new_file();
    if (unwritable == CODE_FILES_REFUSED) {
        failure = {CODE_FILES_REFUSED, TEXT_FILES_REFUSED.arg(file_path, QStringLiteral("1"))};
        return false;
    }
    if (unwritable != 0 || !scratch.ensure()) {
        scratch.remove_extraction(file_path);
        failure = {CODE_OPEN_WRITE_FAILED, TEXT_OPEN_WRITE_FAILED.arg(name(), 0, QLatin1Char(' '))};
        return false;
    }
    ScratchArea::PartialNote note;
    const bool resumable = may_continue && !expected_hash.isEmpty() &&
        scratch.read_note(file_path, note) && note.expected_hash == expected_hash &&
        note.url == url;
    offset = resumable ? safe_file::plain_file_size(archive) : -1;
    std::unique_ptr<QFile> partial;
    if (offset > 0)
        partial = safe_file::open_for_append(archive);
    if (partial) {
        validator = note.validator;
        output.adopt(std::move(partial));
    } else {
        // What is there belongs to other content. A partial archive without a
        // note (cut before its note was written) is replaced if the transfer
        // spills to disk, and cleared with the scratch folder otherwise.
        if (scratch.has_note(file_path))
            scratch.drop_partial(file_path);
        offset = 0;
        validator.clear();
    }
    earlier_validator = validator;
    continued = offset > 0;
    task = std::make_unique<ExtractionTask>(archive,
                                            ExtractTarget {file_path, name() + ARCHIVE_SUFFIX,
                                                           expected_hash, expected_size,
                                                           expected_sha256, game.path()});
    connect(task.get(), &ExtractionTask::ended, this, &TransferSink::satisfied);
    follow_archive();
    return true;
}

// The extraction follows the archive once it is on disk; one that stays in
// memory is extracted when it is complete.
void ArchiveSink::follow_archive()
{
    if (!task || !output.on_disk())
        return;
    if (task->started())
        task->grow(output.size());
    else
        task->start(output.size());
}

// A partial archive gets its note (what it belongs to) once it is worth
// resuming; a smaller one is simply fetched again after a kill.
void ArchiveSink::note_partial()
{
    if (expected_hash.isEmpty() || !output.on_disk() || output.size() < RESUMABLE_SIZE)
        return;
    if (!note_written || noted_validator != validator) {
        note_written = scratch.write_note({file_path, expected_hash, url, validator});
        noted_validator = validator;
    }
}

// What a resumption names in If-Range, noted at once, so that a kill during
// this very attempt still resumes safely.
void ArchiveSink::body_started(const QByteArray &answer_validator)
{
    validator = answer_validator;
    note_partial();
    follow_archive();
}

void ArchiveSink::appended()
{
    follow_archive();
    note_partial();
}

bool ArchiveSink::restart()
{
    if (task)
        task->stop();
    validator.clear();
    return output.clear();
}

TransferSink::Failure ArchiveSink::write_failure() const
{
    return output.refusal(name(), name() + ARCHIVE_SUFFIX);
}

TransferSink::Verdict ArchiveSink::finish(Failure &failure)
{
    const bool was_continued = continued;
    continued = false;
    follow_archive();
    if (!task->started()) {
        if (!output.on_disk()) {
            task->start_from_memory(output.memory());
        } else if (!task->start(output.size())) {
            scratch.remove_extraction(file_path);
            failure = {CODE_OPEN_READ_FAILED, TEXT_OPEN_READ_FAILED.arg(name() + ARCHIVE_SUFFIX)};
            return Verdict::Failed;
        }
    }
    task->finish();
    if (may_hand_on && !was_continued && !task->has_ended()) {
        handed_on_disk = output.on_disk();
        handed_on_size = output.size();
        output.close_file();
        disconnect(task.get(), nullptr, this, nullptr);
        // Queued: the outcome is taken once the task's own signal is over.
        connect(task.get(), &ExtractionTask::ended, this, &ArchiveSink::judge,
                Qt::QueuedConnection);
        return Verdict::HandedOn;
    }
    const ExtractOutcome outcome = task->wait_for_outcome();
    failure = {outcome.code, outcome.text};
    return was_continued && is_content_error(outcome.code) ? Verdict::WrongContinued
                                                           : Verdict::Judged;
}

// The extraction of an archive handed on has ended. A receiver may delete
// this object: nothing is touched after the emission.
void ArchiveSink::judge()
{
    const ExtractOutcome outcome = task->wait_for_outcome();
    emit judged(outcome.code, outcome.text);
}

void ArchiveSink::settle()
{
    output.close_file();
    scratch.drop_partial(file_path);
    emit extracted();
}

void ArchiveSink::abandon(Abandon how)
{
    if (task)
        task->stop();
    if (how != Abandon::Cancelled) {
        output.close_file();
        if (how == Abandon::Failed)
            scratch.drop_partial(file_path);
    }
    scratch.remove_extraction(file_path);
}
