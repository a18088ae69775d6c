#pragma once

#include "app/update_failure.h"
#include "transfer/downloader.h"

#include <QObject>
#include <QString>

#include <memory>

class RequestPrefetcher;
class TransferSink;

// One file of the update fetched into the sink for it (WholeFileDownload,
// PatchDownload). Its outcome is told once, by ended(), delivered queued:
// the receiver may delete the object.
class FileDownload : public QObject
{
    Q_OBJECT

public:
    ~FileDownload() override;

    // Runs the transfer on the calling thread (Downloader::download). True
    // when the file was handed on: its extraction goes on, and ended()
    // follows once it is over. Otherwise ended() follows, unless the
    // transfer was cancelled.
    bool download();
    void cancel() { downloader->cancel(); }
    // The transfer: what it asks for, its pauses, its progress and retries.
    Downloader &transfer() { return *downloader; }

signals:
    // What went wrong (UpdateFault::None: the file is in place).
    void ended(const UpdateFailure &failure);

protected:
    // The file lands at file_path; `name` is the file's name in the
    // player's texts ("": the file name of file_path).
    FileDownload(const QString &file_path, const QString &name);
    // Before download(): the transfer into `sink`, which lives as long as this.
    void fetch_into(const TransferRequest &request, TransferSink &sink,
                    RequestPrefetcher *prefetcher);
    // Tells the outcome, queued.
    void report(UpdateFailure failure);

private:
    const QString file_name;
    const QString name;
    std::unique_ptr<Downloader> downloader;
};
