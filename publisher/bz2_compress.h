#pragma once

#include <QString>

#include <atomic>

class QThreadPool;

// What compressing one file read: its hash text and length, taken from
// exactly the bytes that went into the archive.
struct CompressedFile
{
    QString hash;
    QString sha256; // the whole digest text
    qint64 size = 0;
};

// Compresses the file at source into target as one bzip2 stream (block size
// 900k, as `bzip2 -9`; a small file in four smaller blocks). The blocks are
// compressed on pool (several files may share it) and joined in order into
// the one stream; at most a few blocks
// per pool thread are in memory at once, so memory does not depend on the
// file. The bytes are hashed as they are read for compression: one read
// serves both.
// bytes_read, when given, grows by every byte read, for progress reports.
bool bz2_compress_file(const QString &source, const QString &target, QThreadPool *pool,
                       CompressedFile *result, QString *error,
                       std::atomic<qint64> *bytes_read = nullptr);
