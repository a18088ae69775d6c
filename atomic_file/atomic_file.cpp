#include "atomic_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <cerrno>
#include <cstring>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cstdio>
#include <unistd.h>
#endif

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

bool sync(QFile &file)
{
    if (!file.flush())
        return false;
#ifdef Q_OS_WIN
    return FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()))) != 0;
#else
    return ::fsync(file.handle()) == 0;
#endif
}

bool replace(const QString &source, const QString &target)
{
#ifdef Q_OS_WIN
    if (MoveFileExW(windows_path(source).c_str(), windows_path(target).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    const DWORD failure = GetLastError();
    errno = failure == ERROR_ACCESS_DENIED || failure == ERROR_SHARING_VIOLATION ? EACCES : EIO;
    return false;
#else
    return std::rename(QFile::encodeName(source).constData(),
                       QFile::encodeName(target).constData()) == 0;
#endif
}

#ifdef Q_OS_WIN
std::wstring windows_path(const QString &path)
{
    // Room for a file name of 12 characters that a caller may add.
    constexpr int LIMIT = MAX_PATH - 12;
    QString full = path;
    if (!QDir::isAbsolutePath(full)) {
        const QString absolute = QDir::current().absoluteFilePath(full);
        if (absolute.size() >= LIMIT)
            full = absolute;
    }
    QString native = QDir::toNativeSeparators(full);
    if (QDir::isAbsolutePath(full) && native.size() >= LIMIT &&
        !native.startsWith(QLatin1String("\\\\?\\"))) {
        native = QDir::toNativeSeparators(QDir::cleanPath(full));
        native = native.startsWith(QLatin1String("\\\\"))
            ? QStringLiteral("\\\\?\\UNC\\") + native.mid(2)
            : QStringLiteral("\\\\?\\") + native;
    }
    return native.toStdWString();
}
#endif

} // namespace atomic_file
