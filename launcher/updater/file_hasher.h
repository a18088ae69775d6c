#pragma once

#include "hash_text.h"

#include <QString>
#include <QStringList>

// The hash text that identifies a file's content: the first 7 characters of
// the lowercase hexadecimal SHA-256 digest of its bytes, "" for a file that
// cannot be opened for reading.
class FileHasher
{
public:
    static constexpr int HASH_TEXT_LENGTH = ::HASH_TEXT_LENGTH;

    // Hash text of one file (absolute, or relative to the working directory).
    // Reads in blocks of a fixed size, so memory does not grow with the file;
    // a read error ends the reading and the bytes read so far count.
    static QString hash_text(const QString &path);

    // Hash texts of many files, in the order of `paths`, computed on the
    // calling thread together with threads of a pool of its own, one thread
    // per core in all. The launcher verifies from a task on the global pool,
    // whose few threads that task already holds one of: work handed to the
    // global pool would wait for it and end up on this one thread.
    static QStringList hash_texts(const QStringList &paths);

    // The same with each file's whole SHA-256 digest as 64 lowercase
    // hexadecimal digits ("" as above): what a manifest's "sha256" names.
    static QString digest_text(const QString &path);
    static QStringList digest_texts(const QStringList &paths);

    // Hash text of bytes in memory.
    static QString hash_text_of(const QByteArray &data);
};
