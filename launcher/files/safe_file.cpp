#include "files/safe_file.h"

#include <QFile>
#include <QFileInfo>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace safe_file {

namespace {

#ifndef Q_OS_WIN
QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}
#endif

} // namespace

#ifndef Q_OS_WIN
std::unique_ptr<QFile> wrap(int fd, QIODevice::OpenMode mode)
{
    if (fd < 0)
        return nullptr;
    auto file = std::make_unique<QFile>();
    if (!file->open(fd, mode | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return nullptr;
    }
    return file;
}
#endif

bool remove_entry(const QString &path)
{
#ifdef Q_OS_WIN
    QFile::remove(path);
    return !QFileInfo::exists(path) && !QFileInfo(path).isSymLink();
#else
    return ::unlink(native(path).constData()) == 0 || errno == ENOENT;
#endif
}

std::unique_ptr<QFile> create_new(const QString &path)
{
    if (!remove_entry(path))
        return nullptr;
#ifdef Q_OS_WIN
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::NewOnly | QIODevice::Unbuffered))
        return nullptr;
    return file;
#else
    // O_EXCL fails on any entry at the name, a dangling link included, so a
    // link planted between the removal and the open is never followed.
    const int fd = ::open(native(path).constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    return wrap(fd, QIODevice::WriteOnly);
#endif
}

std::unique_ptr<QFile> reuse_or_create(const QString &path)
{
#ifndef Q_OS_WIN
    const int fd = ::open(native(path).constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st
        {
        };
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
            st.st_uid == ::geteuid() && ::ftruncate(fd, 0) == 0)
            return wrap(fd, QIODevice::WriteOnly);
        ::close(fd);
    }
#endif
    return create_new(path);
}

std::unique_ptr<QFile> open_for_append(const QString &path)
{
#ifdef Q_OS_WIN
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile())
        return nullptr;
    auto file = std::make_unique<QFile>(path);
    if (!file->open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return nullptr;
    return file;
#else
    const int fd = ::open(native(path).constData(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        ::close(fd);
        return nullptr;
    }
    return wrap(fd, QIODevice::WriteOnly | QIODevice::Append);
#endif
}

qint64 plain_file_size(const QString &path)
{
#ifdef Q_OS_WIN
    const QFileInfo info(path);
    return info.isSymLink() || !info.isFile() ? -1 : info.size();
#else
    struct stat st
    {
    };
    if (::lstat(native(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return qint64(st.st_size);
#endif
}

bool is_plain_directory(const QString &path)
{
#ifdef Q_OS_WIN
    const QFileInfo info(path);
    return info.isDir() && !info.isSymLink();
#else
    struct stat st
    {
    };
    return ::lstat(native(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
#endif
}

bool entry_exists(const QString &path)
{
#ifdef Q_OS_WIN
    return QFileInfo::exists(path) || QFileInfo(path).isSymLink();
#else
    struct stat st
    {
    };
    return ::lstat(native(path).constData(), &st) == 0;
#endif
}

bool write_all(QFile &file, const char *data, qint64 size)
{
#ifdef Q_OS_WIN
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    while (size > 0) {
        const DWORD chunk = DWORD(qMin<qint64>(size, 1 << 30));
        DWORD written = 0;
        if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
#else
    while (size > 0) {
        const ssize_t written = ::write(file.handle(), data, size_t(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
#endif
}

bool failed_for_space()
{
#ifdef Q_OS_WIN
    const DWORD error = GetLastError();
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
#else
    return errno == ENOSPC || errno == EDQUOT;
#endif
}

} // namespace safe_file
