#include "atomic_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

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
    QTemporaryFile fresh(path + QStringLiteral(".XXXXXX"));
    const bool written = fresh.open() && fresh.setPermissions(permissions) &&
        fresh.write(data) == data.size() && sync(fresh);
    if (!written) {
        if (error)
            *error = fresh.errorString();
        return false;
    }
    fresh.close();
    if (!replace(fresh.fileName(), path)) {
        if (error)
            *error = QStringLiteral("cannot rename %1").arg(fresh.fileName());
        return false;
    }
    fresh.setAutoRemove(false);
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
    return MoveFileExW(windows_path(source).c_str(), windows_path(target).c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
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
