#include "install/memory_byte_source.h"

#include <cstring>

qint64 MemoryByteSource::read(char *data, qint64 max)
{
    const qint64 count = qMin(max, qint64(bytes.size()) - position);
    if (count <= 0)
        return 0;
    std::memcpy(data, bytes.constData() + position, size_t(count));
    position += count;
    return count;
}
