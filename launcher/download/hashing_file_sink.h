#pragma once

#include "download/byte_sink.h"
#include "hash_text.h"

#include <QFile>

// Writes decoded bytes to a file and computes their hash text on the way, so
// the result is checked without reading it again.
class HashingFileSink : public ByteSink
{
public:
    explicit HashingFileSink(QFile &file) : file(file) { }

    bool write(const char *data, qint64 size) override;
    qint64 written() const { return count; }
    QString hash_text() { return digest.finish(); }

private:
    QFile &file;
    HashTextDigest digest;
    qint64 count = 0;
};
