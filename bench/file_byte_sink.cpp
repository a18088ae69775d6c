#include "file_byte_sink.h"

#include <QFileDevice>

FileByteSink::FileByteSink(QFileDevice &file) : file(file) { }

bool FileByteSink::write(const char *data, qint64 size)
{
    while (size > 0) {
        const qint64 written = file.write(data, size);
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}
