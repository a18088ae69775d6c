#include "files/free_space.h"

#include <QFile>

#include <sys/statvfs.h>

qint64 free_space(const QString &path)
{
    struct statvfs volume
    {
    };
    if (::statvfs(QFile::encodeName(path).constData(), &volume) != 0)
        return -1;
    return qint64(volume.f_bavail) * qint64(volume.f_frsize);
}
