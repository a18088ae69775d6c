#pragma once

#include <QtGlobal>

#include <deque>

class Bz2InputWindow;

// A bit position where a block magic (0x314159265359) or an end-of-stream
// magic (0x177245385090) appears. Inside compressed data either pattern can
// also appear by chance, so a position is only a candidate boundary.
struct Bz2Candidate
{
    qint64 bit = 0;
    bool stream_end = false;
};

// Finds every bit position of the two bzip2 magics in the input as it
// arrives.
class Bz2MagicScanner
{
public:
    Bz2MagicScanner();

    // Scans the bytes that arrived since the last call. A magic that reaches
    // past the bytes that have arrived is found once its end is there.
    void scan(const Bz2InputWindow &window);
    // Every magic that starts before this bit position has been found.
    qint64 scanned_bits() const { return scanned; }
    // The first candidate after the bit position, or null if none has been
    // found yet.
    const Bz2Candidate *next_after(qint64 bit) const;
    // Forgets the candidates before the bit position.
    void release_before(qint64 bit);

private:
    void check(const uchar *bytes, qint64 offset, unsigned int shifts);

    std::deque<Bz2Candidate> found;
    qint64 next_byte = 0; // the next byte position a magic may start in
    qint64 scanned = 0;
    // For each byte value: bit k set when the byte matches the block magic
    // starting k bits into the byte before it, bit 8 + k the same for the
    // end-of-stream magic. One table for each of three bytes.
    quint16 table[3][256];
};
