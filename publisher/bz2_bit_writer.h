#pragma once

#include <QByteArray>
#include <QtGlobal>

// Appends bit fields to a byte array, most significant bit first, as the
// bzip2 format is written. Whole 32-bit words leave the register at once.
class Bz2BitWriter
{
public:
    explicit Bz2BitWriter(QByteArray *out) : out(out) { }

    // bits: 1 to 32; value must fit in them.
    void put(int bits, quint32 value)
    {
        buffer = buffer << bits | value;
        count += bits;
        if (count >= 32) {
            count -= 32;
            const quint32 word = quint32(buffer >> count);
            const char bytes[4] = {char(word >> 24), char(word >> 16), char(word >> 8), char(word)};
            out->append(bytes, 4);
        }
    }
    void put48(quint64 value)
    {
        put(24, quint32(value >> 24));
        put(24, quint32(value & 0xffffff));
    }
    // Appends the first `bits` bits of bytes (most significant bit of each
    // byte first), as written by another writer: a block compressed apart
    // joins the stream wherever the last one ended, not at a byte boundary.
    void append(const QByteArray &bytes, qint64 bits)
    {
        const uchar *in = reinterpret_cast<const uchar *>(bytes.constData());
        qint64 whole = bits / 32;
        for (; whole > 0; --whole, in += 4)
            put(32, quint32(in[0]) << 24 | quint32(in[1]) << 16 | quint32(in[2]) << 8 | in[3]);
        int rest = int(bits % 32);
        for (; rest >= 8; rest -= 8)
            put(8, *in++);
        if (rest > 0)
            put(rest, quint32(*in) >> (8 - rest));
    }
    // Bits put so far, the padding of finish() not counted.
    qint64 bit_count() const { return qint64(out->size()) * 8 + count; }
    // Writes what is left, padding the last byte with zero bits.
    void finish()
    {
        while (count >= 8) {
            count -= 8;
            out->append(char(buffer >> count));
        }
        if (count > 0)
            out->append(char(buffer << (8 - count)));
        count = 0;
    }

private:
    QByteArray *out;
    quint64 buffer = 0; // the low `count` bits are pending, always fewer than 32
    int count = 0;
};
