// The write itself, the same everywhere; the flush and the rename that
// differ are in atomic_file_posix.cpp and atomic_file_win.cpp.
#include "atomic_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>

namespace atomic_file {

bool write(const QString &path, const QByteArray &data, QString *error)
{
    // A temporary file is for its owner only; the file it becomes is read by
    // others as the one it replaces was (a published manifest by the web
    // server), or by everyone when it is new.
    const QFileInfo present(path);
    const QFileDevice::Permissions permissions = present.isFile() && !present.isSymLink()
        ? present.permissions()
        : QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup |
            QFileDevice::ReadOther;
    QString temporary;
    {
        QTemporaryFile fresh(path + QStringLiteral(".XXXXXX"));
        const bool written = fresh.open() && fresh.setPermissions(permissions) &&
            fresh.write(data) == data.size() && sync(fresh);
        if (!written) {
            if (error)
                *error = fresh.errorString();
            return false;
        }
        fresh.setAutoRemove(false);
        temporary = fresh.fileName();
        // A temporary file's close() keeps it open; only its end closes it,
        // and Windows renames no file that is still open.
    }
    if (!replace(temporary, path)) {
        if (error)
            *error = QStringLiteral("cannot rename %1 (%2)")
                         .arg(temporary, QString::fromLocal8Bit(std::strerror(errno)));
        QFile::remove(temporary);
        return false;
    }
    return true;
}

} // namespace atomic_file
