#include "install/archive_sink.h"

#include "update_layout.h"

#include "files/open_folder.h"
#include "files/safe_file.h"
#include "files/scratch_area.h"
#include "install/extraction_task.h"

#include <QFile>
#include <QFileInfo>

#include <optional>

namespace {

const QString ARCHIVE_SUFFIX = update_layout::archive_suffix();

// Partial archives from this size on are kept on disk for a later run;
// smaller ones stay in memory.
constexpr qint64 RESUMABLE_SIZE = 32 * 1024;

} // namespace

ArchiveSink::ArchiveSink(const GameFolder &game, const QString &url, const QString &file_path,
                         bool may_hand_on, FolderCursor *folders)
    : game(game)
    , scratch(game.scratch())
    , url(url)
    , file_path(file_path)
    , archive(scratch.partial_archive_path(file_path))
    , may_hand_on(may_hand_on)
    , folders(folders)
    , output(archive, RESUMABLE_SIZE)
{
}

ArchiveSink::~ArchiveSink() = default;

// An archive kept in memory spills to disk all the same beyond twice the
// file's size limit: it is then larger than any archive of its file, and the
// extraction follows it on disk and stops it where the file would end.
void ArchiveSink::keep_in_memory(qint64 largest_file)
{
    output.set_spill_size(2 * largest_file);
}

QString ArchiveSink::name() const
{
    return QFileInfo(file_path).fileName();
}

// A folder that cannot take the new file fails before any request, told by
// the folder's access check rather than by creating the file: the
// extraction creates it on its own thread. The folder is reached as
// OpenFolder walks it: a link planted on the way since the verification is
// refused as it would have been then.
UpdateFault ArchiveSink::check_target()
{
    QString leaf;
    OpenFolder::Status status;
    std::optional<OpenFolder> walked;
    const OpenFolder *folder = nullptr;
    if (folders) {
        folder = &folders->open_parent(file_path, leaf, status);
    } else {
        walked = game.open_parent(file_path, leaf, status);
        folder = &*walked;
    }
    if (status == OpenFolder::Status::Refused)
        return UpdateFault::OutsideFolder;
    if (!folder->is_open() || !folder->can_create(ScratchArea::extraction_name(leaf)))
        return UpdateFault::CannotWrite;
    target_folder = std::make_shared<const OpenFolder>(
        walked ? std::move(*walked) : folder->duplicate());
    return UpdateFault::None;
}

// The target's folder must take the new file, checked before any request.
// The partial archive of an earlier attempt or run is continued when it was
// fetched from the same address for the same content (an earlier launcher
// noted the file's address, without the archive suffix); anything else starts
// from nothing, in memory.
bool ArchiveSink::open(bool may_continue, Resume &resume, UpdateFailure &failure)
{
    const UpdateFault unwritable = check_target();
    if (unwritable == UpdateFault::OutsideFolder) {
        failure = {UpdateFault::OutsideFolder, file_path, QStringLiteral("1")};
        return false;
    }
    if (unwritable != UpdateFault::None || !scratch.ensure()) {
        failure = {UpdateFault::CannotWrite, name(), QString()};
        return false;
    }
    qint64 offset = -1;
    ScratchArea::PartialNote note;
    // One look tells the usual case: no note, nothing to continue or drop.
    const bool noted = scratch.has_note(file_path);
    const bool resumable = noted && may_continue && !check.hash().isEmpty() &&
        scratch.read_note(file_path, note) && note.expected_hash == check.hash() &&
        (note.url == url || note.url + update_layout::archive_suffix() == url);
    if (resumable)
        offset = safe_file::plain_file_size(archive);
    std::unique_ptr<QFile> partial;
    if (offset > 0)
        partial = safe_file::open_for_append(archive);
    if (partial) {
        validator = note.validator;
        output.adopt(std::move(partial));
        scratch_used = true;
    } else {
        // What is there belongs to other content. A partial archive without a
        // note (cut before its note was written) is replaced if the transfer
        // spills to disk, and swept with the scratch folder otherwise.
        if (noted)
            scratch.drop_partial(file_path);
        offset = 0;
        validator.clear();
    }
    resume = {offset, validator};
    continued = offset > 0;
    task = std::make_unique<ExtractionTask>(
        archive,
        ExtractTarget {file_path, name() + ARCHIVE_SUFFIX, check, game.path(), target_folder});
    connect(task.get(), &ExtractionTask::ended, this, &ArchiveSink::satisfied);
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
    if (check.hash().isEmpty() || !output.on_disk() || output.size() < RESUMABLE_SIZE)
        return;
    if (!note_written || noted_validator != validator) {
        note_written = scratch.write_note({file_path, check.hash(), url, validator});
        noted_validator = validator;
    }
}

// An answer that begins at 0 sends the whole archive again: what arrived
// before is dropped. What a resumption names in If-Range is noted as soon as
// the answer begins, so that a kill during this very attempt still resumes
// safely.
bool ArchiveSink::write(qint64 at, const QByteArray &answer_validator, const char *data,
                        qint64 size, UpdateFailure &failure)
{
    if (at == 0 && output.size() > 0 && !restart()) {
        failure = {UpdateFault::CannotWrite, name(), QString()};
        return false;
    }
    validator = answer_validator;
    if (size > 0 && output.write(data, size) != size) {
        failure = output.refusal(name(), name() + ARCHIVE_SUFFIX);
        return false;
    }
    scratch_used = scratch_used || output.on_disk();
    follow_archive();
    note_partial();
    return true;
}

bool ArchiveSink::restart()
{
    if (task)
        task->stop();
    validator.clear();
    return output.clear();
}

TransferSink::Verdict ArchiveSink::finish(UpdateFailure &failure)
{
    const bool was_continued = continued;
    continued = false;
    follow_archive();
    if (!task->started()) {
        if (!output.on_disk()) {
            task->start_from_memory(output.memory());
        } else if (!task->start(output.size())) {
            scratch.remove_extraction(file_path);
            failure = {UpdateFault::CannotRead, name() + ARCHIVE_SUFFIX, QString()};
            return Verdict::Done;
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
    failure = task->wait_for_outcome();
    if (was_continued && failure.wrong_content())
        return Verdict::StartOver;
    settle();
    return Verdict::Done;
}

// The extraction of an archive handed on has ended.
void ArchiveSink::judge()
{
    const UpdateFailure failure = task->wait_for_outcome();
    settle();
    emit judged(failure);
}

// An archive that stayed in memory left nothing in the scratch folder to
// remove.
void ArchiveSink::settle()
{
    output.close_file();
    if (scratch_used || note_written)
        scratch.drop_partial(file_path);
    settled = true;
}

void ArchiveSink::abort(Abandon how)
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
