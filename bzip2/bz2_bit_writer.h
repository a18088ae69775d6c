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
        append(reinterpret_cast<const uchar *>(bytes.constData()), 0, bits);
    }
    // The same for bits that start first_bit (0 to 7) bits into bytes[0].
    void append(const uchar *in, int first_bit, qint64 bits)
    {
        if (first_bit > 0 && bits > 0) {
            const int head = int(qMin<qint64>(8 - first_bit, bits));
            put(head, (quint32(in[0]) & (0xffu >> first_bit)) >> (8 - first_bit - head));
            ++in;
            bits -= head;
        }
        while (count >= 8) {
            count -= 8;
            out->append(char(buffer >> count));
        }
        // Fewer than 8 bits pending: each byte out is those bits followed by
        // the top of the next byte in, whose low bits are pending next.
        const qint64 whole = bits / 8;
        const int at = out->size();
        out->resize(at + int(whole));
        uchar *to = reinterpret_cast<uchar *>(out->data()) + at;
        const quint32 low = (1u << count) - 1;
        quint32 pending = quint32(buffer) & low;
        for (qint64 i = 0; i < whole; ++i) {
            to[i] = uchar(pending << (8 - count) | quint32(in[i]) >> count);
            pending = in[i] & low;
        }
        buffer = pending;
        const int rest = int(bits % 8);
        if (rest > 0)
            put(rest, quint32(in[whole]) >> (8 - rest));
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
