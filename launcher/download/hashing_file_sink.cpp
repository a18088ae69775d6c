#include "download/hashing_file_sink.h"

bool HashingFileSink::write(const char *data, qint64 size)
{
    if (file.write(data, size) != size)
        return false;
    digest.add(data, std::size_t(size));
    count += size;
    return true;
}
