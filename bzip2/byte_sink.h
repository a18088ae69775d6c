#pragma once

#include <QtGlobal>

// Where decompressed bytes go, in order.
class ByteSink
{
public:
    virtual ~ByteSink() = default;
    // Takes the next size bytes. false: the bytes could not be stored, and
    // the decoder stops with Bz2Status::SinkRefused.
    virtual bool write(const char *data, qint64 size) = 0;
};
