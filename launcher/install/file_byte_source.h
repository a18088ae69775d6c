#pragma once

#include "byte_source.h"

#include <QFile>
#include <QString>

// Reads a regular file from its start to its current end.
class FileByteSource : public ByteSource
{
public:
    explicit FileByteSource(const QString &path);
    // Opens the file for reading; false when it cannot be opened.
    bool open();
    qint64 read(char *data, qint64 max) override;

private:
    QFile file;
};
