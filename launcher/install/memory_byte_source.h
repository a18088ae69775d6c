#pragma once

#include "byte_source.h"

#include <QByteArray>

// Reads bytes held in memory, from their start to their end.
class MemoryByteSource : public ByteSource
{
public:
    explicit MemoryByteSource(const QByteArray &bytes) : bytes(bytes) { }
    qint64 read(char *data, qint64 max) override;

private:
    const QByteArray bytes;
    qint64 position = 0;
};
