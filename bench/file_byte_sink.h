#pragma once

#include "byte_sink.h"

class QFileDevice;

// Writes the bytes into an open file (or any QFileDevice) at its current
// position; the caller owns the file and closes it.
class FileByteSink : public ByteSink
{
public:
    explicit FileByteSink(QFileDevice &file);
    bool write(const char *data, qint64 size) override;

private:
    QFileDevice &file;
};
