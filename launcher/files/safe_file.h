#pragma once

#include <QIODevice>
#include <QString>

#include <memory>

class QFile;

// File operations that never write through a link planted at the name and
// never change another name of a hard-linked file: new files are created
// exclusively, existing ones are reopened only when they are plain files of
// one name, and installed files are replaced by a rename (small files as a
// whole: atomic_file).
namespace safe_file {

#ifndef Q_OS_WIN
// An unbuffered QFile that owns the open descriptor fd; null (and fd closed)
// when it cannot be wrapped, null when fd < 0.
std::unique_ptr<QFile> wrap(int fd, QIODevice::OpenMode mode);
#endif

// OpenFolder::remove_entry and OpenFolder::create_new for a path, in the
// folder that holds it, walked as OpenFolder::open_parent walks it. Where
// that folder cannot be walked, remove_entry is true only when nothing stands
// at the path, and create_new makes nothing.
bool remove_entry(const QString &path);
std::unique_ptr<QFile> create_new(const QString &path);

// Opens an existing plain file for appending. Null when the entry is missing,
// a link, not a regular file, or has another name (a hard link).
std::unique_ptr<QFile> open_for_append(const QString &path);

// Opens `file` (named by its path) for reading, unbuffered, so that the
// file can still be renamed or removed while it is open, as on every POSIX
// system (Windows otherwise refuses both until the reader closes it).
bool open_shared_for_reading(QFile &file);

// Size of the plain file at path; -1 when it is missing, a link or anything
// but a regular file.
qint64 plain_file_size(const QString &path);

// Whether a plain directory (not a link to one) stands at path.
bool is_plain_directory(const QString &path);
// Whether any entry (a file, a link, anything) stands at path.
bool entry_exists(const QString &path);
// Writes all of data to the file (opened unbuffered) with the system's own
// calls, so that the reason of a failure is still known afterwards.
bool write_all(QFile &file, const char *data, qint64 size);
// Whether the write or flush that failed just now failed for want of space:
// the volume is full or the user's quota is used up. Ask at once, before
// any other call can change the system's error number.
bool failed_for_space();

} // namespace safe_file
