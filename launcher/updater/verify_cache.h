#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// The hash texts of the last verification, kept in a hidden file of the game
// folder so that a start on a current install does not read every file again.
// Each entry holds what stat() said about the file just before it was read;
// a file whose stat data still match, and whose last change lies well before
// that reading, has the cached hash text.
//
// The file is text: a magic and version line, one line per entry
// ("checked size mtime ctime inode device hash name", times in nanoseconds,
// the name percent-encoded) and a last line with the SHA-256 of everything
// before it. A missing, cut or garbled file reads as an empty cache.
class VerifyCache
{
public:
    struct Entry
    {
        qint64 checked_ns = 0; // wall clock just before the file was examined
        qint64 size = 0;
        qint64 mtime_ns = 0;
        qint64 ctime_ns = 0;
        quint64 inode = 0;
        quint64 device = 0;
        QString hash;

        // The same file, unchanged since: everything stat() says matches.
        bool same_file(const Entry &other) const;
    };

    // The cache's name in the game folder.
    static QString file_name();
    // stat() data of `path` (links followed, as reading follows them) into
    // `entry`; false when there is no such file.
    static bool stat_file(const QString &path, Entry &entry);
    // The wall clock, in nanoseconds, comparable with file times.
    static qint64 now_ns();

    // Reads the cache file of `folder`; false (and an empty cache) when it is
    // missing, damaged, of another version, or anything but a plain file (a
    // link, a FIFO, a device: never waited on). The cache is only a shortcut:
    // without it every file is read.
    bool load(const QString &folder);
    // Writes the entries into `folder`'s cache file, through a temporary file
    // in the same folder that is flushed to disk and renamed over it. Leaves
    // alone a plain file of that name that is no cache of ours, and a folder;
    // anything else odd there gives way. Skips writing when the file already
    // holds exactly these entries.
    bool save(const QString &folder) const;

    // The hash text cached for `name` if `now` (stat data taken just now)
    // matches the entry, and the entry was made long enough after the file's
    // last change that a later change cannot have kept the same times.
    bool reusable_hash(const QString &name, const Entry &now, QString &hash) const;

    const QHash<QString, Entry> &get_entries() const { return entries; }
    void insert(const QString &name, const Entry &entry) { entries.insert(name, entry); }
    void clear() { entries.clear(); }

private:
    QByteArray serialised() const;
    bool parse(const QByteArray &data);

    QHash<QString, Entry> entries;
    QByteArray loaded_bytes; // the file as load() found it, when valid
};
