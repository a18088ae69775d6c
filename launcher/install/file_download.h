#pragma once

#include "transfer/downloader.h"

#include <memory>

class ArchiveSink;
class FileSink;

// One file fetched and put in place: a Downloader writing into the sink for
// it. A compressed file arrives as its archive and is extracted while it
// arrives into a new file that replaces file_path only once its hash text
// matched (ArchiveSink); an uncompressed one is saved as file_path as it
// arrives (FileSink).
class FileDownload : public Downloader
{
    Q_OBJECT

public:
    // `may_hand_on`: the transfer of a compressed file may end once its
    // archive is complete (handed_on), the extraction going on; this object
    // then tells the file's outcome when it has ended (see Downloader and
    // ArchiveSink). `prefetcher`: see Downloader.
    FileDownload(const QString &url, const QString &file_path, bool compressed,
                 bool may_hand_on = false, RequestPrefetcher *prefetcher = nullptr);
    ~FileDownload() override;

    // What the extracted file must be: its hash text ("" checks nothing) and
    // its size in bytes (< 0 when unknown; extraction stops beyond it). The
    // hash is also the key of a fetch past caches. Compressed files only.
    // `sha256`, when not "", is the whole digest the file must have.
    void set_expected(const QString &hash, qint64 size, const QString &sha256 = QString());
    // The name the player's texts give the file (a patch step names the game
    // file, not its patch); by default the file name of file_path.
    void set_display_name(const QString &name);
    // Before download(): the archive of a file of at most `largest_file`
    // bytes stays in memory whole (ArchiveSink). Compressed files only.
    void keep_archive_in_memory(qint64 largest_file);
    // Whether the archive of a transfer handed on lies on disk (else in memory).
    bool archive_on_disk() const;
    // The bytes of the archive of a transfer handed on held in memory.
    qint64 archive_in_memory() const;

signals:
    // A compressed file's extraction is over; its outcome follows.
    void extract_finished();

private:
    FileDownload(std::unique_ptr<TransferSink> sink, const QString &url,
                 RequestPrefetcher *prefetcher);

    std::unique_ptr<TransferSink> sink;
    ArchiveSink *archive = nullptr;
    FileSink *plain = nullptr;
};
