#include "atomic_file.h"

#include <QDir>
#include <QFile>

#include <io.h>
#include <windows.h>

#include <cerrno>

namespace atomic_file {

bool sync(QFile &file)
{
    return file.flush() &&
        FlushFileBuffers(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()))) != 0;
}

bool replace(const QString &source, const QString &target)
{
    if (MoveFileExW(windows_path(source).c_str(), windows_path(target).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    const DWORD failure = GetLastError();
    errno = failure == ERROR_ACCESS_DENIED || failure == ERROR_SHARING_VIOLATION ? EACCES : EIO;
    return false;
}

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

} // namespace atomic_file
