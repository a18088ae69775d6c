#pragma once

#include "files/game_folder.h"
#include "files/scratch_area.h"
#include "install/archive_extractor.h"
#include "transfer/download_spool.h"
#include "transfer/transfer_sink.h"

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
class ArchiveSink : public TransferSink
{
    Q_OBJECT

public:
    // `file_path`: a name in `game`.
    ArchiveSink(const GameFolder &game, const QString &url, const QString &file_path,
                bool may_hand_on);
    ~ArchiveSink() override;

    // What the extracted file must be: its hash text ("" checks nothing) and
    // its size in bytes (< 0 when unknown; extraction stops beyond it).
    // `sha256`, when not "", is the whole digest it must have.
    void set_expected(const QString &hash, qint64 size, const QString &sha256 = QString());
    // The name the player's texts give the file; by default its file name.
    void set_display_name(const QString &name) { display_name = name; }
    // Before open(): the archive of a file of at most `largest_file` bytes
    // stays in memory whole, even past the size from which a partial
    // archive is kept for a later run (see ExtractionBacklog).
    void keep_in_memory(qint64 largest_file);

    bool open(bool may_continue, qint64 &offset, QByteArray &validator, Failure &failure) override;
    QIODevice &device() override { return output; }
    qint64 size() const override { return output.size(); }
    void body_started(const QByteArray &validator) override;
    void appended() override;
    bool restart() override;
    Failure write_failure() const override;
    Verdict finish(Failure &failure) override;
    void settle() override;
    void abandon(Abandon how) override;
    QString name() const override;
    QString content_hash() const override { return expected_hash; }
    // Whether an archive handed on lies on disk (else it is in memory).
    bool archive_on_disk() const { return handed_on_disk; }
    // The bytes of an archive handed on that memory holds (0 on disk).
    qint64 archive_in_memory() const { return handed_on_disk ? 0 : handed_on_size; }

signals:
    // The extraction is over and its outcome is about to be told.
    void extracted();

private:
    void follow_archive();
    void note_partial();
    void judge();
    // Creates the new file beside the target: 0 when it could, else the
    // code of the error that ends the transfer.
    int prepare_new_file() const;

    const GameFolder game;
    const ScratchArea scratch;
    const QString url;
    const QString file_path;
    const QString archive;
    QString display_name;
    QString expected_hash;
    QString expected_sha256;
    qint64 expected_size = -1;
    const bool may_hand_on;
    bool handed_on_disk = false;
    qint64 handed_on_size = 0;
    DownloadSpool output;
    std::unique_ptr<ExtractionTask> task;
    // The archive continues one of an earlier transfer, not yet judged.
    bool continued = false;
    QByteArray validator;
    QByteArray noted_validator;
    bool note_written = false;
};
