#pragma once

#include "bz2_status.h"

class ByteSink;

// The decoders' way to their sink: counts what the sink took and keeps the
// output within a limit. The first write that would pass the limit hands the
// sink exactly the bytes up to it and ends the output with OutputTooLarge.
class Bz2LimitedOutput
{
public:
    // limit < 0: none.
    Bz2LimitedOutput(ByteSink &sink, qint64 limit) : sink(sink), limit(limit) { }

    // false: the output ended; status() tells why.
    bool write(const char *data, qint64 size);
    Bz2Status status() const { return ended; }
    qint64 written() const { return count; }

private:
    ByteSink &sink;
    const qint64 limit;
    qint64 count = 0;
    Bz2Status ended = Bz2Status::Ok;
};
