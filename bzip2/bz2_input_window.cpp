#include "bz2_input_window.h"

#include "byte_source.h"
#include "bz2_bit_reader.h"

#include <cstring>

namespace {

constexpr qint64 READ_SIZE = 1 << 20;
// Released bytes are dropped from the front once this many have gathered, so
// the move that drops them stays rare.
constexpr qint64 RELEASE_STEP = 4 << 20;

} // namespace

Bz2InputWindow::Bz2InputWindow(ByteSource &source) : source(source) { }

bool Bz2InputWindow::fill()
{
    if (ended)
        return false;
    if (!scratch)
        scratch.reset(new uchar[size_t(READ_SIZE)]);
    const qint64 count = source.read(reinterpret_cast<char *>(scratch.get()), READ_SIZE);
    if (count > 0)
        bytes.insert(bytes.end(), scratch.get(), scratch.get() + count);
    if (count <= 0) {
        ended = true;
        read_failed = count < 0;
        return false;
    }
    return true;
}

quint32 Bz2InputWindow::bits(qint64 bit, int count) const
{
    return quint32(Bz2BitReader::bits_at(bytes.data(), qint64(bytes.size()), bit - base * 8, count));
}

QByteArray Bz2InputWindow::copy(qint64 from, qint64 to) const
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data() + (from - base)), int(to - from));
}

void Bz2InputWindow::release_before(qint64 offset)
{
    const qint64 drop = qMin(offset, end()) - base;
    if (drop < RELEASE_STEP)
        return;
    bytes.erase(bytes.begin(), bytes.begin() + drop);
    base += drop;
}
