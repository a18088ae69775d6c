#pragma once

#include "install/archive_sink.h"
#include "install/file_download.h"

// A whole game file: its archive arrives and is extracted while it arrives
// into a new file that replaces file_path only once its hash text matched
// (ArchiveSink).
class WholeFileDownload : public FileDownload
{
    Q_OBJECT

public:
    // `file_path`: a name in `game`. `may_hand_on`: the transfer may end once
    // the archive is complete, the extraction going on (see
    // FileDownload::download). `prefetcher`: see Downloader. `folders`: see
    // ArchiveSink.
    WholeFileDownload(const GameFolder &game, const TransferRequest &request,
                      const QString &file_path, bool may_hand_on = false,
                      RequestPrefetcher *prefetcher = nullptr, FolderCursor *folders = nullptr);
    ~WholeFileDownload() override;

    // What the extracted file must be: its hash text ("" checks nothing) and
    // its size in bytes (< 0 when unknown; extraction stops beyond it). The
    // hash is also the key of a fetch past caches, unless the request names
    // one. `sha256`, when not "", is the whole digest the file must have.
    void set_expected(const QString &hash, qint64 size, const QString &sha256 = QString());
    // Before download(): the archive of a file of at most `largest_file`
    // bytes stays in memory whole (ArchiveSink).
    void keep_archive_in_memory(qint64 largest_file) { sink.keep_in_memory(largest_file); }
    // Whether the archive of a transfer handed on lies on disk (else in memory).
    bool archive_on_disk() const { return sink.archive_on_disk(); }
    // The bytes of the archive of a transfer handed on held in memory.
    qint64 archive_in_memory() const { return sink.archive_in_memory(); }
    // Whether the extraction came to its end (the file was judged).
    bool extraction_over() const { return sink.extraction_over(); }

private:
    ArchiveSink sink;
};
