#pragma once

#include <QString>
#include <QVector>

// One file of a release folder.
struct ReleaseFile
{
    QString key; // path relative to the release folder, "/"-separated
    QString path; // absolute path on disk
    qint64 size = 0;
};

// Why the launcher could not use this key as a file name, or "" when it can:
// the launcher refuses names with a backslash, a colon or a ".." segment, and
// "#", "?" or "%" would change the address it fetches the file from.
QString unusable_key_reason(const QString &key);

// Lists every file below dir, ordered by key. Fails, with *error naming the
// file, at a name the launcher cannot use.
bool scan_release(const QString &dir, QVector<ReleaseFile> *files, QString *error);
