#pragma once

#include "app/update_failure.h"

#include <QByteArray>
#include <QtGlobal>

// Where a Downloader puts the body it receives. The transfer knows addresses,
// offsets, validators, retries and caches; what the bytes become (a plain
// file, an archive being extracted) and whether they are right is the
// sink's alone.
class TransferSink
{
public:
    // Where the body of an earlier transfer continues: the offset (0: from
    // its first byte) and the validator its bytes came with.
    struct Resume
    {
        qint64 offset = 0;
        QByteArray validator;
    };
    // What the sink made of a complete body.
    enum class Verdict {
        Done, // the body was judged and the sink is done with it: failure tells
              // what was wrong (UpdateFault::None: it is the file)
        HandedOn, // the body is complete and is judged later, by the sink's owner
        StartOver // a body continued from an earlier transfer is not the file:
                  // it is to come again from its first byte
    };
    // How a transfer that did not complete ends.
    enum class Abandon {
        Cancelled, // stopped on request: nothing is reported
        Resumable, // it may continue in a later run: keep what arrived
        Failed // drop what arrived
    };

    virtual ~TransferSink();

    // Prepares for the body. `may_continue`: the transfer may continue an
    // earlier body (it does not ask past caches). False, with the failure,
    // when the sink cannot take a body.
    virtual bool open(bool may_continue, Resume &resume, UpdateFailure &failure) = 0;
    // Bytes of the body, which go to `at` of it. An answer's body begins with
    // a write of no bytes at its start: at 0 the sink drops what it holds
    // (the body comes again from its first byte). `validator`: the answer's,
    // which a later continuation names. False, with the failure, when the
    // bytes cannot be taken.
    virtual bool write(qint64 at, const QByteArray &validator, const char *data, qint64 size,
                       UpdateFailure &failure) = 0;
    // The body is complete.
    virtual Verdict finish(UpdateFailure &failure) = 0;
    // The transfer ends without a complete body.
    virtual void abort(Abandon how) = 0;
};
