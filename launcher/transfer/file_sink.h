#pragma once

#include "transfer/download_spool.h"
#include "transfer/transfer_sink.h"

// A body saved as it arrives into a new file at `path` (a patch, or a file
// sent uncompressed). The file is created before any request; a failed
// transfer removes it, a cancelled one leaves it for the caller.
class FileSink : public TransferSink
{
public:
    explicit FileSink(const QString &path);

    bool open(bool may_continue, Resume &resume, UpdateFailure &failure) override;
    bool write(qint64 at, const QByteArray &validator, const char *data, qint64 size,
               UpdateFailure &failure) override;
    Verdict finish(UpdateFailure &failure) override;
    void abort(Abandon how) override;

private:
    const QString path;
    const QString name;
    DownloadSpool output;
};
