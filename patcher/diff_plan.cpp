#include "diff_plan.h"

#include "suffix_matcher.h"

#include <cstdint>

namespace {

using Index = std::int64_t;

// How much longer than the bytes that already agree at the current alignment
// a fresh exact match must be before the alignment changes.
constexpr Index SWITCH_MARGIN = 8;

struct Content
{
    const std::uint8_t *bytes;
    Index size;

    bool agrees(const Content &other, Index at, Index other_at) const
    {
        return at >= 0 && at < size && other_at >= 0 && other_at < other.size &&
            bytes[at] == other.bytes[other_at];
    }
};

// Length of the stretch forward from (new_at, old_at), at most limit, that
// maximises twice the agreeing bytes minus the length.
Index stretch_forward(const Content &old_c, const Content &new_c, Index new_at, Index old_at,
                      Index limit)
{
    Index agreeing = 0, best_score = 0, best = 0;
    for (Index i = 0; i < limit && old_at + i < old_c.size; ++i) {
        if (old_c.bytes[old_at + i] == new_c.bytes[new_at + i])
            ++agreeing;
        const Index score = 2 * agreeing - (i + 1);
        if (score > best_score) {
            best_score = score;
            best = i + 1;
        }
    }
    return best;
}

// The same backward from the bytes before (new_at, old_at).
Index stretch_backward(const Content &old_c, const Content &new_c, Index new_at, Index old_at,
                       Index limit)
{
    Index agreeing = 0, best_score = 0, best = 0;
    for (Index i = 1; i <= limit && i <= old_at; ++i) {
        if (old_c.bytes[old_at - i] == new_c.bytes[new_at - i])
            ++agreeing;
        const Index score = 2 * agreeing - i;
        if (score > best_score) {
            best_score = score;
            best = i;
        }
    }
    return best;
}

} // namespace

std::vector<DiffCopy> plan_copies(const std::uint8_t *old_data, std::size_t old_size,
                                  const std::uint8_t *new_data, std::size_t new_size,
                                  const SuffixMatcher &matcher)
{
    const Content old_c {old_data, Index(old_size)};
    const Content new_c {new_data, Index(new_size)};
    std::vector<DiffCopy> copies;

    // The previous copy starts at (last_new, last_old); offset is where the
    // old content lies relative to the new at that alignment.
    Index last_new = 0, last_old = 0, offset = 0;
    Index scan = 0, length = 0, position = 0;
    while (scan < new_c.size) {
        // Look for an exact match clearly better than what the current
        // alignment gives over the same bytes.
        Index aligned = 0;
        scan += length;
        Index counted = scan;
        for (; scan < new_c.size; ++scan) {
            std::size_t found = 0;
            length =
                Index(matcher.longest(new_data + scan, std::size_t(new_c.size - scan), &found));
            position = Index(found);
            for (; counted < scan + length; ++counted)
                if (new_c.agrees(old_c, counted, counted + offset))
                    ++aligned;
            if ((length == aligned && length != 0) || length > aligned + SWITCH_MARGIN)
                break;
            if (new_c.agrees(old_c, scan, scan + offset))
                --aligned;
        }
        if (length == aligned && scan != new_c.size)
            continue; // the current alignment covers this match already

        // Close the previous copy: stretch it forward, and the new match
        // backward, then split any overlap where it costs least.
        Index forward = stretch_forward(old_c, new_c, last_new, last_old, scan - last_new);
        Index backward =
            scan < new_c.size ? stretch_backward(old_c, new_c, scan, position, scan - last_new) : 0;
        if (last_new + forward > scan - backward) {
            const Index overlap = last_new + forward - (scan - backward);
            Index score = 0, best_score = 0, keep = 0;
            for (Index i = 0; i < overlap; ++i) {
                const Index at = last_new + forward - overlap + i;
                if (new_c.bytes[at] == old_c.bytes[last_old + forward - overlap + i])
                    ++score;
                if (new_c.bytes[scan - backward + i] == old_c.bytes[position - backward + i])
                    --score;
                if (score > best_score) {
                    best_score = score;
                    keep = i + 1;
                }
            }
            forward += keep - overlap;
            backward -= keep;
        }
        if (forward > 0)
            copies.push_back(
                {std::uint64_t(last_new), std::uint64_t(last_old), std::uint64_t(forward)});
        last_new = scan - backward;
        last_old = position - backward;
        offset = position - scan;
    }
    return copies;
}
