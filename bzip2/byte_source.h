#pragma once

#include <QtGlobal>

// Where compressed bytes come from: a file, or a file that is still growing
// while its download runs.
class ByteSource
{
public:
    virtual ~ByteSource() = default;
    // Reads up to max bytes into data. Blocks until at least one byte is
    // available; returns 0 at the true end of the input, -1 when the source
    // failed or was cancelled.
    virtual qint64 read(char *data, qint64 max) = 0;
};
