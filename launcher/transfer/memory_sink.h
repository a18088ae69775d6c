#pragma once

#include "transfer/transfer_sink.h"

#include <QByteArray>

// A small body kept in memory as it arrives (a manifest, its signature), up
// to a limit: a server that sends more is not sending the document, and the
// transfer fails at once instead of filling the memory.
class MemorySink : public TransferSink
{
public:
    explicit MemorySink(qint64 limit) : limit(limit) { }

    bool open(bool may_continue, Resume &resume, UpdateFailure &failure) override;
    bool write(qint64 at, const QByteArray &validator, const char *data, qint64 size,
               UpdateFailure &failure) override;
    Verdict finish(UpdateFailure &failure) override;
    void abort(Abandon how) override;

    // The whole body, once finish() has been called.
    const QByteArray &body() const { return bytes; }
    // More arrived than the limit allows.
    bool overflowed() const { return too_large; }

private:
    const qint64 limit;
    QByteArray bytes;
    bool too_large = false;
};
