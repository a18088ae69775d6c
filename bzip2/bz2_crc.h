#pragma once

#include <QtGlobal>

#include <cstddef>

// The CRC-32 of bzip2 blocks: polynomial 0x04c11db7 fed most significant
// bit first, started at all ones and inverted at the end. Eight bytes go
// through eight tables per step.
class Bz2Crc
{
public:
    static quint32 update(quint32 crc, const uchar *data, size_t size);
    static quint32 of(const uchar *data, size_t size) { return ~update(~0u, data, size); }
};
