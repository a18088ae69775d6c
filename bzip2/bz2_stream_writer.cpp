#include "bz2_stream_writer.h"

#include "bz2_format.h"

#include <QIODevice>

Bz2StreamWriter::Bz2StreamWriter(QIODevice *device) : device(device), bits(&pending)
{
    pending.reserve(1 << 16); // kept when emptied
}

bool Bz2StreamWriter::begin()
{
    bits.put(24, quint32('B') << 16 | quint32('Z') << 8 | quint32('h'));
    bits.put(8, quint32('0' + BZ2_STREAM_LEVEL));
    return flush();
}

bool Bz2StreamWriter::append(const Bz2EncodedBlocks &blocks)
{
    bits.append(blocks.bytes, blocks.bits);
    for (const quint32 crc : blocks.crcs)
        combined = (combined << 1 | combined >> 31) ^ crc;
    return flush();
}

bool Bz2StreamWriter::finish()
{
    bits.put48(BZ2_END_MAGIC);
    bits.put(32, combined);
    bits.finish();
    return flush();
}

bool Bz2StreamWriter::flush()
{
    if (!failed && !pending.isEmpty())
        failed = device->write(pending) != pending.size();
    pending.truncate(0);
    return !failed;
}
