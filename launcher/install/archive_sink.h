#pragma once

#include "files/folder_cursor.h"
#include "files/game_folder.h"
#include "files/scratch_area.h"
#include "install/archive_extractor.h"
#include "transfer/download_spool.h"
#include "transfer/transfer_sink.h"

#include <QObject>

#include <memory>

class ExtractionTask;

// The archive of one game file, extracted while it arrives. The archive goes
// to the launcher's scratch folder (a small one stays in memory) and the
// extraction reads it as it grows, into a new file that replaces file_path
// only once its hash text matched. A partial archive on disk gets a note
// (address, content, validator), so that a later run continues it.
//
// One that may hand on ends its transfer once the archive is complete, while
// the extraction goes on; judged() then tells the outcome. A continued
// archive is still checked before the transfer ends, so a wrong one is
// fetched anew.
class ArchiveSink : public QObject, public TransferSink
{
    Q_OBJECT

public:
    // `file_path`: a name in `game`; `url`: the archive's address, noted
    // beside a partial archive. `folders`, when given, opens the target's
    // folder: one cursor for a run of files walks each folder once (it must
    // outlive open()).
    ArchiveSink(const GameFolder &game, const QString &url, const QString &file_path,
                bool may_hand_on, FolderCursor *folders = nullptr);
    ~ArchiveSink() override;

    // What the extracted file must be (extraction stops beyond its size); by
    // default anything.
    void set_expected(const ContentCheck &expected) { check = expected; }
    // Before open(): the archive of a file of at most `largest_file` bytes
    // stays in memory whole, even past the size from which a partial
    // archive is kept for a later run (see ExtractionBacklog).
    void keep_in_memory(qint64 largest_file);

    bool open(bool may_continue, Resume &resume, UpdateFailure &failure) override;
    bool write(qint64 at, const QByteArray &validator, const char *data, qint64 size,
               UpdateFailure &failure) override;
    Verdict finish(UpdateFailure &failure) override;
    void abort(Abandon how) override;

    // Whether an archive handed on lies on disk (else it is in memory).
    bool archive_on_disk() const { return handed_on_disk; }
    // The bytes of an archive handed on that memory holds (0 on disk).
    qint64 archive_in_memory() const { return handed_on_disk ? 0 : handed_on_size; }
    // Whether the extraction came to its end (the file was judged).
    bool extraction_over() const { return settled; }

signals:
    // The extraction has ended before the archive is complete: no more bytes
    // are needed, and finish() tells what happened.
    void satisfied();
    // The extraction of an archive handed on has ended: what was wrong
    // (UpdateFault::None: the file is in place).
    void judged(const UpdateFailure &failure);

private:
    QString name() const;
    void follow_archive();
    void note_partial();
    void judge();
    // Drops everything received: the body comes again from its first byte.
    bool restart();
    // The body is judged for good: lets go of the archive.
    void settle();
    // Whether the new file could be made beside the target: None when it
    // could. Keeps the target's folder for the extraction.
    UpdateFault check_target();

    const GameFolder game;
    const ScratchArea scratch;
    const QString url;
    const QString file_path;
    const QString archive;
    ContentCheck check;
    const bool may_hand_on;
    FolderCursor *const folders;
    // The target's folder as check_target() found it, for the extraction.
    std::shared_ptr<const OpenFolder> target_folder;
    // Something of this file may lie in the scratch folder: a partial
    // archive or its note, of this transfer or an earlier one.
    bool scratch_used = false;
    bool handed_on_disk = false;
    qint64 handed_on_size = 0;
    bool settled = false;
    DownloadSpool output;
    std::unique_ptr<ExtractionTask> task;
    // The archive continues one of an earlier transfer, not yet judged.
    bool continued = false;
    QByteArray validator;
    QByteArray noted_validator;
    bool note_written = false;
};
