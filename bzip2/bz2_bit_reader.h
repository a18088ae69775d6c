#pragma once

#include <QtEndian>
#include <QtGlobal>

// Reads bits most significant first from a byte array through a 64-bit
// buffer. Bytes past the array read as zeros: a reader may look and even
// step past its data, and position() then shows how far it went, so a
// caller checks the position instead of every read.
class Bz2BitReader
{
public:
    Bz2BitReader(const uchar *data, qint64 size, int first_bit) : data(data), size(size)
    {
        refill();
        skip(first_bit);
    }

    // Tops the buffer up to at least 56 bits.
    void refill()
    {
        if (available > 56)
            return;
        if (next + 8 <= size) {
            // Eight bytes at once; the bits below the counted ones are the
            // true following bits, so a later refill ORs the same values.
            buffer |= qFromBigEndian<quint64>(data + next) >> available;
            next += (63 - available) >> 3;
            available |= 56;
            return;
        }
        while (available <= 56) {
            const quint64 byte = next < size ? data[next] : 0;
            buffer |= byte << (56 - available);
            ++next;
            available += 8;
        }
    }

    // The next count bits (1 to 32); needs them in the buffer.
    quint32 peek(int count) const { return quint32(buffer >> (64 - count)); }
    void skip(int count)
    {
        buffer <<= count;
        available -= count;
    }
    quint32 read(int count)
    {
        refill();
        const quint32 value = peek(count);
        skip(count);
        return value;
    }
    // Bits read from the start of the array.
    qint64 position() const { return next * 8 - available; }

    // count (1 to 64) bits of data starting at bit, which may lie anywhere.
    static quint64 bits_at(const uchar *data, qint64 size, qint64 bit, int count)
    {
        const qint64 byte = bit / 8;
        Bz2BitReader reader(data + byte, size - byte, int(bit % 8));
        quint64 value = 0;
        for (; count > 32; count -= 32)
            value = value << 32 | reader.read(32);
        return value << count | reader.read(count);
    }

private:
    const uchar *const data;
    const qint64 size;
    qint64 next = 0; // the next byte to load
    quint64 buffer = 0; // bits left-aligned
    int available = 0; // bits in the buffer
};
