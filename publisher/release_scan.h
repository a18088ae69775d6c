#pragma once

#include <QString>
#include <QStringList>
#include <QVector>

// One file of a release folder.
struct ReleaseFile
{
    QString key; // path relative to the release folder, "/"-separated
    QString path; // absolute path on disk (a link's target when links are followed)
    qint64 size = 0;
};

// Why the launcher could not use this key as a file name, or "" when it can:
// the launcher refuses names with a backslash, a colon or a ".." segment, "#",
// "?" or "%" would change the address it fetches the file from, and the game
// runs on Windows, which cannot hold control characters, any of <>:"|?*\, a
// name ending in a dot or a space, or a device name (CON, PRN, AUX, NUL,
// COM1-COM9, LPT1-LPT9, with or without an extension).
QString unusable_key_reason(const QString &key);

// Lists every file below dir, ordered by key. Only regular files and folders
// are published: a symbolic link (unless follow_internal_links and it leads
// to a regular file inside the release), a FIFO, socket or device, an entry
// that cannot be read, a name that is not UTF-8 or not usable by the game,
// and two names that differ only in case are each an error naming the entry;
// all of them are listed in *errors, and the result is false when there is
// any. Special files are only looked at (lstat), never opened.
bool scan_release(const QString &dir, bool follow_internal_links, QVector<ReleaseFile> *files,
                  QStringList *errors);
