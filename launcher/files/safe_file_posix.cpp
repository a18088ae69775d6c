#include "files/safe_file.h"

#include <QFile>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace safe_file {

namespace {

QByteArray native(const QString &path)
{
    return QFile::encodeName(path);
}

} // namespace

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

std::unique_ptr<QFile> open_for_append(const QString &path)
{
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
}

bool open_shared_for_reading(QFile &file)
{
    return file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

qint64 plain_file_size(const QString &path)
{
    struct stat st
    {
    };
    if (::lstat(native(path).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return -1;
    return qint64(st.st_size);
}

bool is_plain_directory(const QString &path)
{
    struct stat st
    {
    };
    return ::lstat(native(path).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool entry_exists(const QString &path)
{
    struct stat st
    {
    };
    return ::lstat(native(path).constData(), &st) == 0;
}

bool write_all(QFile &file, const char *data, qint64 size)
{
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
}

bool failed_for_space()
{
    return errno == ENOSPC || errno == EDQUOT;
}

} // namespace safe_file
