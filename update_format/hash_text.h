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
    // After finish(): the whole digest as 64 lowercase hexadecimal digits
    // ("" when it is not valid).
    QString digest_text() const { return full; }

private:
    struct Context;
    std::unique_ptr<Context> context;
    bool ok = false;
    QString full;
};

QString hash_text(const char *data, std::size_t size);
QString hash_text(const QByteArray &data);
// The whole SHA-256 digest of data as 64 lowercase hexadecimal digits.
QString digest_text(const QByteArray &data);

// Whether a whole file's digest text is the content a manifest entry names:
// its full "sha256" when the entry gives one, else its hash text. An empty
// digest text (a file that cannot be read) matches only an empty hash text
// without "sha256".
bool content_matches(const QString &digest, const QString &hash, const QString &sha256);
// A digest text as manifests give it: 64 lowercase hexadecimal digits.
bool is_digest_text(const QString &text);

// Opens path for reading only when it is a regular file: a FIFO or a device
// at a file's name would block a read (or never end it).
bool open_regular_file(QFile &file, const QString &path);

// Hash text of a file's bytes, read in pieces of a fixed size; "" when it is
// not a regular file or cannot be opened. A read error in the middle ends the
// reading, and the bytes read so far count.
QString file_hash_text(const QString &path);
// The same file's whole digest text (64 digits), "" as above.
QString file_digest_text(const QString &path);
// The whole digest text of what the open file gives from where it stands.
QString read_digest_text(QFile &file);

#ifndef Q_OS_WIN
// The digest text of the file `name` in the open folder `folder` (a descriptor).
QString file_digest_text_at(int folder, const QByteArray &name);
#endif
