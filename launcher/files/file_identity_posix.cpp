#include "files/file_identity.h"

#include "files/stat_identity.h"

#include <QFile>

#include <sys/stat.h>
#include <ctime>

FileIdentity identity_of(const struct stat &data)
{
    constexpr qint64 NS_PER_S = 1'000'000'000;
    FileIdentity identity;
    identity.size = qint64(data.st_size);
    identity.mtime_ns = qint64(data.st_mtim.tv_sec) * NS_PER_S + data.st_mtim.tv_nsec;
    identity.ctime_ns = qint64(data.st_ctim.tv_sec) * NS_PER_S + data.st_ctim.tv_nsec;
    identity.inode = quint64(data.st_ino);
    identity.device = quint64(data.st_dev);
    return identity;
}

bool FileIdentity::of_path(const QString &path, FileIdentity &identity)
{
    struct stat data
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &data) != 0 || !S_ISREG(data.st_mode))
        return false;
    identity = identity_of(data);
    return true;
}

bool FileIdentity::of_open(QFile &file, FileIdentity &identity)
{
    struct stat data
    {
    };
    if (!file.isOpen() || ::fstat(file.handle(), &data) != 0 || !S_ISREG(data.st_mode))
        return false;
    identity = identity_of(data);
    return true;
}

qint64 FileIdentity::now_ns()
{
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}
