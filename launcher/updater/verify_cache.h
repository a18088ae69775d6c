#pragma once

#include "files/file_identity.h"

#include <QByteArray>
#include <QString>
#include <QStringView>

class QFile;

#include <vector>

// The digests of the last verification, kept in a hidden file of the game
// folder so that a start on a current install does not read every file again.
// Each entry holds what stat() said about the file just before it was read
// and the whole SHA-256 of what was read; a file whose stat data still
// match, and whose last change lies well before that reading, has the cached
// digest (and so its hash text, the digest's first digits).
//
// The file is binary and read with one read: a magic and version line padded
// to 32 bytes, the entry count and the length of the name block (32-bit
// little-endian numbers), one record of 88 bytes per entry (checked time,
// size, modification and change times in nanoseconds, inode and device as
// 64-bit little-endian numbers, the offset and length of the name in the name
// block, the 32 bytes of the SHA-256 digest), the name block (the
// names in UTF-16, little-endian) and the SHA-256 of everything before it. A
// missing, cut or garbled file, or one of an earlier version, reads as an
// empty cache. Entries are written in name order, so the same entries always
// give the same bytes.
class VerifyCache
{
public:
    // What stat() said of the file (same_file compares that part alone),
    // when, and the digest of what was read.
    struct Entry : FileIdentity
    {
        qint64 checked_ns = 0; // wall clock just before the file was examined
        QString digest; // 64 lowercase hexadecimal digits
    };

    VerifyCache() = default;
    // The records point at names the object holds: not copied.
    VerifyCache(const VerifyCache &) = delete;
    VerifyCache &operator=(const VerifyCache &) = delete;

    // The cache's name in the game folder.
    static QString file_name();

    // Reads the cache file of `folder`; false (and an empty cache) when it is
    // missing, damaged, of another version, or anything but a plain file (a
    // link, a FIFO, a device: never waited on). The cache is only a shortcut:
    // without it every file is read.
    bool load(const QString &folder);
    // Writes the entries into `folder`'s cache file, through a temporary file
    // in the same folder that is flushed to disk and renamed over it. Leaves
    // alone a plain file of that name that is no cache of ours, and a folder;
    // anything else odd there gives way. Skips writing when the file that
    // load() read holds exactly these entries.
    bool save(const QString &folder) const;

    // The entry of `name`: its index, or -1 when there is none.
    int find(QStringView name) const;
    // Entries loaded or added so far, removed ones included: indexes run
    // from 0 to size() - 1 and stay valid until clear() or load().
    int size() const { return int(records.size()); }
    QStringView name_at(int index) const { return records[size_t(index)].name; }
    Entry entry_at(int index) const;
    // Whether the entry at `index` gives the file's hash text: `now` (stat
    // data taken just now) matches it, and it was made long enough after the
    // file's last change that a later change cannot have kept the same times.
    bool reusable_at(int index, const Entry &now) const;
    // The digest text of the entry at `index`.
    QString digest_at(int index) const;

    // Adds the entry, or replaces the one of the same name. An entry whose
    // digest is not a digest text is not kept.
    void insert(const QString &name, const Entry &entry);
    // Makes room for `count` entries in all, so that adding them does not
    // grow the tables again and again.
    void reserve(int count);
    // Drops the entry at `index`; it is no longer found.
    void remove_at(int index);
    void clear();

private:
    struct Record
    {
        QStringView name;
        qint64 checked_ns;
        FileIdentity file;
        unsigned char digest[32];
        bool removed;
    };

    QByteArray serialised() const;
    bool parse(const QByteArray &data);
    void add_to_index(int index);
    // Sized for at least `count` records.
    void rebuild_index(size_t count);

    std::vector<Record> records;
    // Names of records added after loading; the others point into
    // loaded_bytes. A QString keeps its characters in place when moved.
    std::vector<QString> added_names;
    // Open addressing over the records by name: record index + 1, 0 free.
    std::vector<int> buckets;
    QByteArray loaded_bytes; // the file as load() found it, when valid
    bool changed = false; // entries differ from loaded_bytes
};
