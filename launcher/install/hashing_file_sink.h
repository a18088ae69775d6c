#pragma once

#include "byte_sink.h"
#include "hash_text.h"

#include <QFile>

// Writes decoded bytes to a file and computes their hash text on the way, so
// the result is checked without reading it again. The file must be open
// unbuffered: the bytes go straight to the system.
class HashingFileSink : public ByteSink
{
public:
    explicit HashingFileSink(QFile &file) : file(file) { }

    bool write(const char *data, qint64 size) override;
    qint64 written() const { return count; }
    QString hash_text() { return digest.finish(); }
    // After hash_text(): the whole digest text.
    QString digest_text() const { return digest.digest_text(); }
    // The last write failed because the disk (or the quota) is full.
    bool no_space() const { return out_of_space; }

private:
    QFile &file;
    HashTextDigest digest;
    qint64 count = 0;
    bool out_of_space = false;
};
