#pragma once

#include "bz2_bwt_inverter.h"
#include "bz2_huffman_table.h"

#include <QByteArray>
#include <QtGlobal>

#include <functional>
#include <memory>

// Decodes one bzip2 block straight from its bits, faster than libbzip2, as a
// first attempt before it. It takes only blocks it can vouch for: a block
// with anything unusual (a randomised block, a damaged table, a length or
// position out of range, bits that do not end exactly at the range's end, a
// CRC that does not match) is declined, with nothing handed to the consumer,
// and libbzip2 then decodes it and names the error.
//
// The whole block is decoded and checked before any output leaves, in
// buffers kept from block to block.
class Bz2FastBlockDecoder
{
public:
    enum class Result { Decoded, Stopped, Declined };

    // Decodes the block in the bit_count bits of raw starting first_bit (0 to
    // 7) bits into its first byte, from its magic through its last symbol,
    // of a stream with the block size digit level. The output goes in chunks
    // of up to Bz2BlockDecoder::CHUNK_SIZE bytes to consume, which may take
    // the chunk over and returns false to stop (Stopped).
    Result decode(const QByteArray &raw, int first_bit, qint64 bit_count, int level,
                  const std::function<bool(QByteArray &)> &consume);

private:
    static constexpr int MAX_SELECTORS = 18002;

    bool read_tables(Bz2BitReader &bits);
    bool read_symbols(Bz2BitReader &bits, qint64 end_bit, quint32 block_limit);
    qint64 expand(uchar *out, qint64 room);
    bool expansion_done() const;
    bool expand_checked(quint32 &crc, bool &whole);

    // The block's tables.
    int in_use = 0; // distinct byte values
    uchar values[256]; // the byte values in use, in order
    int groups = 0;
    int selectors = 0;
    uchar selector[MAX_SELECTORS];
    Bz2HuffmanTable tables[BZ2_MAX_TABLES];

    // The block's bytes as the symbols give them, in the inverter's entries,
    // and how often each value occurs.
    Bz2BwtInverter inverter;
    quint32 counts[256];
    quint32 length = 0;
    // The block's bytes in order, before the final run-length step.
    std::unique_ptr<uchar[]> bytes;
    quint32 bytes_size = 0;
    QByteArray chunk;

    // Where expand() is: the next byte, the end of the bytes to copy before
    // the next count (the end of the block if counted is false), and the
    // bytes still owed of a run.
    struct Expansion
    {
        quint32 next = 0;
        bool run_known = false;
        quint32 run_end = 0;
        bool counted = false;
        int owed = 0;
        uchar owed_byte = 0;
        bool bad = false;
    } expansion;
};
