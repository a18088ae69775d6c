#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <memory>
#include <vector>

class ByteSource;

// The compressed bytes that have arrived from a source and are still needed,
// addressed by their absolute offset in the input.
class Bz2InputWindow
{
public:
    explicit Bz2InputWindow(ByteSource &source);

    // Reads the next piece of input (blocking until the source has some).
    // Returns false once the source is at its end or has failed.
    bool fill();
    // True when no more bytes will arrive; failed() tells whether the source
    // failed rather than ended.
    bool finished() const { return ended; }
    bool failed() const { return read_failed; }

    qint64 begin() const { return base; }
    qint64 end() const { return base + qint64(bytes.size()); }
    qint64 end_bit() const { return end() * 8; }
    const uchar *data() const { return bytes.data(); } // the byte at begin()

    // count (1 to 32) bits starting at the absolute bit position, most
    // significant first; the bits must lie inside the window.
    quint32 bits(qint64 bit, int count) const;
    // The bytes [from, to), which must lie inside the window.
    QByteArray copy(qint64 from, qint64 to) const;
    // Forgets the bytes before offset.
    void release_before(qint64 offset);

private:
    ByteSource &source;
    std::vector<uchar> bytes;
    std::unique_ptr<uchar[]> scratch; // what one read receives
    qint64 base = 0;
    bool ended = false;
    bool read_failed = false;
};
