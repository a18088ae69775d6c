#pragma once

#include <QtGlobal>

class QFile;
class QString;

// What the system says about a plain file that tells whether it is still the
// same file with the same content as when last looked at: its size, its last
// write and last change (of data or metadata) in nanoseconds since 1970, its
// number on its volume and the volume's. One look at a file gives all of it
// (stat on POSIX systems, the handle's information on Windows).
struct FileIdentity
{
    qint64 size = 0;
    qint64 mtime_ns = 0;
    qint64 ctime_ns = 0;
    quint64 inode = 0; // the file index on Windows
    quint64 device = 0; // the volume serial number on Windows

    // The same file, unchanged since: every part matches.
    bool same_file(const FileIdentity &other) const
    {
        return size == other.size && mtime_ns == other.mtime_ns && ctime_ns == other.ctime_ns &&
            inode == other.inode && device == other.device;
    }

    // The identity of the plain file at `path`, links followed (as reading
    // follows them); false when there is no plain file there.
    static bool of_path(const QString &path, FileIdentity &identity);
    // The same for a file open for reading.
    static bool of_open(QFile &file, FileIdentity &identity);
    // The present time on the clock the file times are told in.
    static qint64 now_ns();
};
