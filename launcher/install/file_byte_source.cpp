#include "install/file_byte_source.h"

#include "files/safe_file.h"

FileByteSource::FileByteSource(const QString &path) : file(path) { }

bool FileByteSource::open()
{
    return safe_file::open_shared_for_reading(file);
}

qint64 FileByteSource::read(char *data, qint64 max)
{
    if (!file.isOpen())
        return -1;
    const qint64 count = file.read(data, max);
    return count < 0 ? -1 : count;
}
