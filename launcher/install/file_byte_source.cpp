#include "install/file_byte_source.h"

FileByteSource::FileByteSource(const QString &path) : file(path) { }

bool FileByteSource::open()
{
    return file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

qint64 FileByteSource::read(char *data, qint64 max)
{
    if (!file.isOpen())
        return -1;
    const qint64 count = file.read(data, max);
    return count < 0 ? -1 : count;
}
