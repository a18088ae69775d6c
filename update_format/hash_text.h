#pragma once

#include "hash_text_core.h"

#include <QByteArray>
#include <QString>

class QFile;

#include <cstddef>
#include <memory>

// The hash text as Qt text, for the launcher and the publisher; the patch
// program uses the same digest through hash_text_core.h, so all three agree
// by construction.

// A SHA-256 digest fed in pieces, ending in a hash text.
class HashTextDigest
{
public:
    HashTextDigest();
    ~HashTextDigest();

    // False when the digest could not be set up or a piece was refused.
    bool valid() const;
    void add(const char *data, std::size_t size);
    // The hash text of everything added; "" when the digest is not valid.
    QString finish();

private:
    struct Context;
    std::unique_ptr<Context> context;
    bool ok = false;
};

QString hash_text(const char *data, std::size_t size);
QString hash_text(const QByteArray &data);

// Opens path for reading only when it is a regular file: a FIFO or a device
// at a file's name would block a read (or never end it).
bool open_regular_file(QFile &file, const QString &path);

// Hash text of a file's bytes, read in pieces of a fixed size; "" when it is
// not a regular file or cannot be opened. A read error in the middle ends the
// reading, and the bytes read so far count.
QString file_hash_text(const QString &path);

#ifndef Q_OS_WIN
// The same for the file `name` in the open folder `folder` (a descriptor).
QString file_hash_text_at(int folder, const QByteArray &name);
#endif
