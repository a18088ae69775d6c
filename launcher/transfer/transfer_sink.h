#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

class QIODevice;

// Where a Downloader puts the body it receives, and what judges the body once
// it is whole. The transfer knows addresses, offsets, validators, retries and
// caches; what the bytes become (a plain file, an archive being extracted)
// is the sink's alone.
class TransferSink : public QObject
{
    Q_OBJECT

public:
    struct Failure
    {
        int code = 0;
        QString text;
    };
    // What the sink made of a complete body.
    enum class Verdict {
        Judged, // the body was checked: failure tells the result (code 0: it is the file)
        HandedOn, // the body is complete and is judged later: judged() tells
        WrongContinued, // a body continued from an earlier transfer is not the file
        Failed // the sink could not take the body (failure), and has cleaned up
    };
    // How a transfer that did not complete ends.
    enum class Abandon {
        Cancelled, // stopped on request: nothing is reported
        Resumable, // it may continue in a later run: keep what arrived
        Failed // drop what arrived
    };

    ~TransferSink() override;

    // Prepares for the body. `may_continue`: the transfer would continue an
    // earlier body (no fetch past caches). Gives where the body continues
    // (0: from its first byte) and the validator the earlier bytes came with.
    virtual bool open(bool may_continue, qint64 &offset, QByteArray &validator,
                      Failure &failure) = 0;
    // The device the body is appended to, and how much of it has arrived.
    virtual QIODevice &device() = 0;
    virtual qint64 size() const = 0;
    // The accepted answer's body begins (its validator is known), or bytes
    // were appended to it.
    virtual void body_started(const QByteArray &validator) = 0;
    virtual void appended() = 0;
    // Drops everything received: the body comes again from its first byte.
    virtual bool restart() = 0;
    // Why the device refused the bytes.
    virtual Failure write_failure() const = 0;
    // The body is complete: its verdict.
    virtual Verdict finish(Failure &failure) = 0;
    // The judged body is final: lets go of it before the outcome is told.
    virtual void settle() = 0;
    virtual void abandon(Abandon how) = 0;
    // The name the player's texts give the file.
    virtual QString name() const = 0;

signals:
    // The sink needs no more bytes (its reader has ended early): the attempt
    // under way stops, and finish() tells what happened.
    void satisfied();
    // A body handed on has been judged: code 0, it is the file; otherwise
    // the code and text of the failure. Told once, after the transfer is over.
    void judged(int code, const QString &text);
};
