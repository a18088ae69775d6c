#include "bz2_crc.h"

#include <QtEndian>

namespace {

struct Tables
{
    quint32 t[8][256];
};

// t[0] is a byte fed through the register; t[k] the same byte followed by k
// zero bytes, so eight bytes combine by XOR.
Tables make_tables()
{
    Tables tables;
    for (quint32 byte = 0; byte < 256; ++byte) {
        quint32 crc = byte << 24;
        for (int bit = 0; bit < 8; ++bit)
            crc = crc & 0x80000000u ? crc << 1 ^ 0x04c11db7u : crc << 1;
        tables.t[0][byte] = crc;
    }
    for (int k = 1; k < 8; ++k) {
        for (int byte = 0; byte < 256; ++byte) {
            const quint32 previous = tables.t[k - 1][byte];
            tables.t[k][byte] = previous << 8 ^ tables.t[0][previous >> 24];
        }
    }
    return tables;
}

const Tables tables = make_tables();

} // namespace

quint32 Bz2Crc::update(quint32 crc, const uchar *data, size_t size)
{
    const auto &t = tables.t;
    while (size >= 8) {
        const quint32 high = crc ^ qFromBigEndian<quint32>(data);
        const quint32 low = qFromBigEndian<quint32>(data + 4);
        crc = t[7][high >> 24] ^ t[6][high >> 16 & 0xff] ^ t[5][high >> 8 & 0xff] ^
              t[4][high & 0xff] ^ t[3][low >> 24] ^ t[2][low >> 16 & 0xff] ^
              t[1][low >> 8 & 0xff] ^ t[0][low & 0xff];
        data += 8;
        size -= 8;
    }
    while (size--)
        crc = crc << 8 ^ t[0][(crc >> 24) ^ *data++];
    return crc;
}
