#pragma once

#include <QString>

// What compressing one file read: its hash text and length, taken from
// exactly the bytes that went into the archive.
struct CompressedFile
{
    QString hash;
    qint64 size = 0;
};

// Compresses the file at source into one bzip2 stream (block size 900k, as
// `bzip2 -9`) at target, streaming, so memory does not depend on the file.
// The bytes are hashed as they are compressed: one read serves both.
bool bz2_compress_file(const QString &source, const QString &target, CompressedFile *result,
                       QString *error);
