#include "bz2_bwt_inverter.h"

#include <algorithm>
#include <cstring>

quint32 *Bz2BwtInverter::entries(quint32 wanted)
{
    if (capacity < wanted) {
        table.reset(new quint32[wanted]);
        lane_bytes.reset(new uchar[wanted + size_t(LANES) * LANE_MARGIN]);
        capacity = wanted;
    }
    return table.get();
}

// Each entry gets, above its byte, the position of the entry that comes
// after it: entries with the same byte keep their order when sorted.
void Bz2BwtInverter::link(const quint32 counts[256], quint32 length)
{
    quint32 start[256];
    quint32 sum = 0;
    for (int value = 0; value < 256; ++value) {
        start[value] = sum;
        sum += counts[value];
    }
    quint32 *const t = table.get();
    for (quint32 i = 0; i < length; ++i)
        t[start[t[i] & 0xff]++] |= i << 8;
}

bool Bz2BwtInverter::invert(const quint32 counts[256], quint32 length, quint32 origin,
                            uchar *out)
{
    link(counts, length);
    const quint32 first = table[origin] >> 8;
    if (length >= SHORT_BLOCK) {
        switch (walk_pieces(length, first, out)) {
        case Pieces::Joined:
            return true;
        case Pieces::Broken:
            return false;
        case Pieces::NoRoom:
            break;
        }
    }
    return walk(length, first, out);
}

bool Bz2BwtInverter::walk(quint32 length, quint32 first, uchar *out)
{
    const quint32 *const t = table.get();
    quint32 at = first;
    for (quint32 i = 0; i < length; ++i) {
        const quint32 entry = t[at];
        out[i] = uchar(entry);
        at = entry >> 8;
    }
    // A single cycle comes back to where it started after length steps.
    return at == first;
}

// Gives the marked entries back their links, for the plain walk.
Bz2BwtInverter::Pieces Bz2BwtInverter::unmark(const quint32 *positions, int starts)
{
    for (int id = 0; id < starts; ++id)
        table[positions[id]] = start_entry[id];
    return Pieces::NoRoom;
}

Bz2BwtInverter::Pieces Bz2BwtInverter::walk_pieces(quint32 length, quint32 first, uchar *out)
{
    quint32 *const t = table.get();
    // Start 0 is the block's first entry; the others are spread over the
    // sorted order, which scatters them over the block.
    const int wanted = int(std::min<quint32>(MAX_STARTS, length / 2048));
    quint32 positions[MAX_STARTS];
    positions[0] = first;
    int starts = 1;
    for (int k = 1; k < wanted; ++k) {
        const quint32 position = quint32(quint64(k) * length / quint32(wanted));
        if (position != first)
            positions[starts++] = position;
    }
    for (int id = 0; id < starts; ++id) {
        start_entry[id] = t[positions[id]];
        t[positions[id]] = START | quint32(id);
    }

    const quint32 room = length / LANES + LANE_MARGIN;
    uchar *lane_base[LANES];
    uchar *lane_out[LANES];
    quint32 at[LANES];
    int lane_piece[LANES];
    int next_piece = 0;
    // Takes the next start on a lane; its first entry is the marked one.
    const auto begin = [&](int lane) {
        const int id = next_piece++;
        lane_piece[lane] = id;
        piece_lane[id] = uchar(lane);
        piece_offset[id] = quint32(lane_out[lane] - lane_base[lane]);
        const quint32 entry = start_entry[id];
        *lane_out[lane]++ = uchar(entry);
        at[lane] = entry >> 8;
    };
    const auto end = [&](int lane, quint32 entry) {
        const int id = lane_piece[lane];
        piece_length[id] = quint32(lane_out[lane] - lane_base[lane]) - piece_offset[id];
        piece_next[id] = entry & ~START;
    };
    const auto least_room = [&] {
        qint64 least = room;
        for (int lane = 0; lane < LANES; ++lane)
            least = std::min<qint64>(least, lane_base[lane] + room - lane_out[lane]);
        return least;
    };
    for (int lane = 0; lane < LANES; ++lane) {
        lane_base[lane] = lane_bytes.get() + size_t(lane) * room;
        lane_out[lane] = lane_base[lane];
        begin(lane);
    }

    // All lanes walk while there are starts to hand out. Each lane writes at
    // most one byte a round, so the rounds are counted against the room of
    // the fullest lane.
    bool full = true;
    qint64 rounds = least_room() - 1;
    while (full) {
        if (rounds-- <= 0) {
            rounds = least_room() - 1;
            if (rounds <= 0)
                return unmark(positions, starts);
        }
        bool met = false;
        for (int lane = 0; lane < LANES; ++lane) {
            const quint32 entry = t[at[lane]];
            if (entry & START) {
                met = true;
                continue;
            }
            *lane_out[lane]++ = uchar(entry);
            at[lane] = entry >> 8;
        }
        if (!met)
            continue;
        for (int lane = 0; lane < LANES && full; ++lane) {
            const quint32 entry = t[at[lane]];
            if (!(entry & START))
                continue;
            end(lane, entry);
            if (next_piece < starts)
                begin(lane);
            else
                full = false;
        }
    }
    // The lanes still walking finish one by one; a lane that ended above is
    // at a start already and records the same end again.
    for (int lane = 0; lane < LANES; ++lane) {
        uchar *const stop = lane_base[lane] + room;
        quint32 entry = t[at[lane]];
        while (!(entry & START)) {
            if (lane_out[lane] == stop)
                return unmark(positions, starts);
            *lane_out[lane]++ = uchar(entry);
            at[lane] = entry >> 8;
            entry = t[at[lane]];
        }
        end(lane, entry);
    }

    // Joins the pieces from start 0 in the order they ran into each other.
    quint32 written = 0;
    int id = 0;
    for (int step = 0; step < starts; ++step) {
        const quint32 size = piece_length[id];
        if (size > length - written)
            return Pieces::Broken;
        std::memcpy(out + written, lane_base[piece_lane[id]] + piece_offset[id], size);
        written += size;
        id = int(piece_next[id]);
        if (id == 0)
            return written == length ? Pieces::Joined : Pieces::Broken;
    }
    return Pieces::Broken;
}
