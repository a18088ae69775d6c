#include "install/file_download.h"

#include <QFileInfo>

FileDownload::FileDownload(const QString &file_path, const QString &name)
    : file_name(QFileInfo(file_path).fileName()), name(name.isEmpty() ? file_name : name)
{
}

FileDownload::~FileDownload() = default;

void FileDownload::fetch_into(const TransferRequest &request, TransferSink &sink,
                              RequestPrefetcher *prefetcher)
{
    downloader = std::make_unique<Downloader>(request, sink, prefetcher);
}

bool FileDownload::download()
{
    UpdateFailure failure;
    const Downloader::Ending ending = downloader->download(failure);
    if (ending == Downloader::Ending::Done)
        report(failure);
    return ending == Downloader::Ending::HandedOn;
}

// Queued on this object: the emission comes from the event loop, with
// nothing of this object on the stack, and is dropped if it is deleted first.
void FileDownload::report(UpdateFailure failure)
{
    // What the transfer or the sink tell of the file name it as the player
    // knows it (a patch lands under a scratch name).
    if (failure.fault == UpdateFault::TransferFailed || failure.subject == file_name)
        failure.subject = name;
    QMetaObject::invokeMethod(
        this, [this, failure] { emit ended(failure); }, Qt::QueuedConnection);
}
