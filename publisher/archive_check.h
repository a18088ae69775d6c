#pragma once

#include <QString>

class QIODevice;

// What an archive decompresses to.
struct ArchiveContent
{
    QString hash; // hash text of the decompressed bytes
    QString sha256; // their whole digest text
    qint64 size = 0;
};

// Decompresses the bzip2 archive at path (one stream or several concatenated),
// hashing what comes out and writing it to output when one is given. False,
// with *error, when it cannot be read or written or is damaged (bad data, bad
// checksum, cut short).
bool read_archive(const QString &path, ArchiveContent *content, QString *error,
                  QIODevice *output = nullptr);

// Checks that the patch file at path starts with a patch header of the
// current format that names source_hash and result_hash. The header's result
// size is returned in *result_size when given.
bool check_patch_header(const QString &path, const QString &source_hash, const QString &result_hash,
                        QString *error, qint64 *result_size = nullptr);
