#include "bz2_code_lengths.h"

#include "bz2_format.h"

#include <algorithm>
#include <array>

namespace {

// Depth of every leaf of a Huffman tree over weight; returns the deepest.
// Leaves sorted by weight and the merged nodes (made in order of weight) are
// two queues, so the two lightest are always at their fronts.
int huffman_depths(const std::array<quint32, BZ2_MAX_SYMBOLS> &weight, int count, uchar *lengths)
{
    if (count == 1) {
        lengths[0] = 1;
        return 1;
    }
    std::array<int, BZ2_MAX_SYMBOLS> leaves;
    for (int i = 0; i < count; ++i)
        leaves[size_t(i)] = i;
    std::sort(leaves.begin(), leaves.begin() + count,
              [&](int a, int b) { return weight[size_t(a)] < weight[size_t(b)]; });
    // Nodes 0..count-1 are leaves, count.. the merged ones.
    std::array<quint64, 2 * BZ2_MAX_SYMBOLS> node_weight;
    std::array<int, 2 * BZ2_MAX_SYMBOLS> parent;
    for (int i = 0; i < count; ++i)
        node_weight[size_t(i)] = weight[size_t(i)];
    int next_leaf = 0;
    int next_merged = count;
    int made = count;
    const auto take_lightest = [&] {
        if (next_leaf < count &&
            (next_merged == made ||
             node_weight[size_t(leaves[size_t(next_leaf)])] <= node_weight[size_t(next_merged)]))
            return leaves[size_t(next_leaf++)];
        return next_merged++;
    };
    while (made < 2 * count - 1) {
        const int a = take_lightest();
        const int b = take_lightest();
        node_weight[size_t(made)] = node_weight[size_t(a)] + node_weight[size_t(b)];
        parent[size_t(a)] = parent[size_t(b)] = made;
        ++made;
    }
    // A parent is always made after its children: fill depths from the root.
    std::array<int, 2 * BZ2_MAX_SYMBOLS> depth;
    depth[size_t(made - 1)] = 0;
    for (int node = made - 2; node >= 0; --node)
        depth[size_t(node)] = depth[size_t(parent[size_t(node)])] + 1;
    int deepest = 0;
    for (int i = 0; i < count; ++i) {
        lengths[i] = uchar(depth[size_t(i)]);
        deepest = std::max(deepest, depth[size_t(i)]);
    }
    return deepest;
}

} // namespace

void bz2_code_lengths(const quint32 *freq, int count, int max_length, uchar *lengths)
{
    std::array<quint32, BZ2_MAX_SYMBOLS> weight;
    for (int i = 0; i < count; ++i)
        weight[size_t(i)] = std::max<quint32>(freq[i], 1);
    while (huffman_depths(weight, count, lengths) > max_length) {
        for (int i = 0; i < count; ++i)
            weight[size_t(i)] = 1 + weight[size_t(i)] / 2;
    }
}
