#pragma once

#include "transfer/download_spool.h"
#include "transfer/transfer_sink.h"

// A body saved as it arrives into a new file at `path` (a patch, or a file
// sent uncompressed). The file is created before any request; a failed
// transfer removes it, a cancelled one leaves it for the caller.
class FileSink : public TransferSink
{
    Q_OBJECT

public:
    explicit FileSink(const QString &path);

    // The name the player's texts give the file; by default its file name.
    void set_display_name(const QString &name) { display_name = name; }

    bool open(bool may_continue, qint64 &offset, QByteArray &validator, Failure &failure) override;
    QIODevice &device() override { return output; }
    qint64 size() const override { return output.size(); }
    void body_started(const QByteArray &) override { }
    void appended() override { }
    bool restart() override { return output.clear(); }
    Failure write_failure() const override;
    Verdict finish(Failure &failure) override;
    void settle() override { }
    void abandon(Abandon how) override;
    QString name() const override;

private:
    const QString path;
    QString display_name;
    DownloadSpool output;
};
