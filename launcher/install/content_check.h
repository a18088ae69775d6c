#pragma once

#include <QString>
#include <QtGlobal>

// What a file must be to be installed: the hash text the manifest names for
// it, its whole digest where the manifest gives one, and its size where
// known. The extraction writes through a hashing sink and asks this check
// at the end; the size bounds the output as it grows. The transfer never
// judges content.
class ContentCheck
{
public:
    ContentCheck() = default;
    // `hash` "" checks nothing; `size` < 0 when unknown; `sha256` "": the
    // hash text decides.
    ContentCheck(const QString &hash, qint64 size, const QString &sha256)
        : expected_hash(hash), expected_sha256(sha256), expected_size(size)
    {
    }

    // The hash text: also what a partial archive's note and a fetch past
    // caches name.
    const QString &hash() const { return expected_hash; }
    // Bytes the file has; < 0 when unknown.
    qint64 size() const { return expected_size; }
    // Whether a file whose whole digest text is `digest` is the one named
    // (always, when nothing is known of its content).
    bool accepts(const QString &digest) const;

private:
    QString expected_hash;
    QString expected_sha256;
    qint64 expected_size = -1;
};
