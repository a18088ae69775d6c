#pragma once

#include <QtGlobal>

#include <memory>

// Undoes the sort of a bzip2 block. Entries hold a byte of the sorted
// block's last column in their low byte; inverting links each entry to the
// entry that follows it in the block (above the byte) and walks the links
// from the origin.
//
// The walk is one long chain of dependent loads from an array larger than
// the cache. To keep several loads in flight it starts walks at many entries
// spread over the block and runs LANES of them at once, each until it meets
// the start of another; the pieces are then joined in their order. The lanes
// step together, so each writes about an equal share; a lane that would
// write more than its room leaves the block to the plain walk.
class Bz2BwtInverter
{
public:
    // Room for capacity entries, for the caller to fill.
    quint32 *entries(quint32 capacity);

    // Inverts length entries whose bytes occur counts[value] times each, into
    // out (length bytes). False when the links do not form a single cycle
    // through all entries, which no real block gives.
    bool invert(const quint32 counts[256], quint32 length, quint32 origin, uchar *out);

private:
    static constexpr int LANES = 16;
    static constexpr quint32 LANE_MARGIN = 64 << 10; // room beyond an equal share
    static constexpr int MAX_STARTS = 512;
    static constexpr quint32 START = 0x80000000u; // marks an entry where a walk starts
    static constexpr quint32 SHORT_BLOCK = 1 << 16; // walked in one go

    void link(const quint32 counts[256], quint32 length);
    bool walk(quint32 length, quint32 first, uchar *out);
    enum class Pieces { Joined, Broken, NoRoom };
    Pieces walk_pieces(quint32 length, quint32 first, uchar *out);
    Pieces unmark(const quint32 *positions, int starts);

    // Left uninitialised: a small block touches only the pages it uses.
    std::unique_ptr<quint32[]> table;
    std::unique_ptr<uchar[]> lane_bytes; // each lane's output
    quint32 capacity = 0;

    // Per start: its entry before marking, where its piece went, its length
    // and the start the piece ran into.
    quint32 start_entry[MAX_STARTS];
    quint32 piece_offset[MAX_STARTS];
    quint32 piece_length[MAX_STARTS];
    quint32 piece_next[MAX_STARTS];
    uchar piece_lane[MAX_STARTS];
};
