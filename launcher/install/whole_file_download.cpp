#include "install/whole_file_download.h"

WholeFileDownload::WholeFileDownload(const GameFolder &game, const TransferRequest &request,
                                     const QString &file_path, bool may_hand_on,
                                     RequestPrefetcher *prefetcher, FolderCursor *folders)
    : FileDownload(file_path, QString())
    , sink(game, request.url.toString(), file_path, may_hand_on, folders)
{
    fetch_into(request, sink, prefetcher);
    connect(&sink, &ArchiveSink::satisfied, &transfer(), &Downloader::end_attempt);
    connect(&sink, &ArchiveSink::judged, this, &WholeFileDownload::report);
}

WholeFileDownload::~WholeFileDownload() = default;

void WholeFileDownload::set_expected(const QString &hash, qint64 size, const QString &sha256)
{
    sink.set_expected(ContentCheck(hash, size, sha256));
    if (transfer().request().cache_key.isEmpty())
        transfer().request().cache_key = hash;
}
