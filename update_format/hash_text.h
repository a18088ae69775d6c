#pragma once

#include <QByteArray>
#include <QString>

class QFile;

#include <cstddef>
#include <memory>

// The 7-character hash text that identifies a file's content everywhere in
// the update system: the first 7 lowercase hexadecimal digits of its SHA-256.
// Shared by the launcher, the patch program and the publisher, so all three
// agree by construction.
constexpr int HASH_TEXT_LENGTH = 7;

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
