#pragma once

#include <QByteArray>
#include <QString>

#ifdef Q_OS_WIN
#include <string>
#endif

class QFile;

// Replacing a file so that its name always holds either the old or the new
// content whole, even after a kill or a power cut.
namespace atomic_file {

// Writes data to a new file beside path (its name plus a random suffix of
// six characters), flushes it to the storage device and renames it over
// path. Whatever entry stood at path (a link included) is replaced, never
// written through. The file keeps the permissions of the plain file it
// replaces; a new one is readable by everyone and writable by its owner. On
// failure path is untouched, the new file is gone and `error` (when given)
// says why.
bool write(const QString &path, const QByteArray &data, QString *error = nullptr);

// Flushes the file's data to the storage device, so that a rename after it
// cannot leave an empty file under the name after a power cut.
bool sync(QFile &file);

// Moves source over target in one step; target keeps either its old or its
// new content whatever happens meanwhile.
bool replace(const QString &source, const QString &target);

#ifdef Q_OS_WIN
// A path as the wide Windows calls take it: native separators, and the
// "\\?\" prefix on an absolute path long enough to need it (a relative one
// that long is made absolute first).
std::wstring windows_path(const QString &path);
#endif

} // namespace atomic_file
