#pragma once

#include "bz2_status.h"

#include <QByteArray>
#include <QtGlobal>

#include <cstddef>
#include <functional>
#include <vector>

// Decodes bzip2 blocks with libbzip2. A block cut out of a stream at bit
// positions is turned into a stream of its own: the stream header with the
// block size digit, the block's bits realigned to a byte boundary, and an
// end-of-stream marker whose combined CRC is the block's own CRC.
class Bz2BlockDecoder
{
public:
    static constexpr int CHUNK_SIZE = 1 << 20;

    struct Result
    {
        enum class End {
            Complete, // the stream decoded and ended exactly at its last byte
            NeedsInput, // the library wanted more bytes than the stream has
            Stopped, // the consumer refused a chunk
            Failed, // the library found an error: failure tells which
        } end = End::Complete;
        Bz2Status failure = Bz2Status::Ok;
        qint64 consumed = 0; // stream bytes the library read
    };

    // The stream for bit_count bits of raw starting first_bit (0 to 7) bits
    // into its first byte; with_end appends the end-of-stream marker with crc.
    static QByteArray block_stream(const QByteArray &raw, int first_bit, qint64 bit_count,
                                   int level, bool with_end, quint32 crc);

    // Decodes stream, handing its output in chunks of up to CHUNK_SIZE bytes
    // to consume, which may take the chunk over and returns false to stop.
    Result decode(const QByteArray &stream, const std::function<bool(QByteArray &)> &consume);

    Bz2BlockDecoder() = default;
    ~Bz2BlockDecoder();
    Bz2BlockDecoder(const Bz2BlockDecoder &) = delete;
    Bz2BlockDecoder &operator=(const Bz2BlockDecoder &) = delete;

private:
    static void *allocate(void *self, int count, int size);
    static void release(void *self, void *memory);

    // The library's memory, kept from block to block: the same tables serve
    // every block, already mapped and warm, instead of fresh pages each time.
    struct Allocation
    {
        void *memory;
        size_t size;
        bool in_use;
    };
    std::vector<Allocation> allocations;
};
