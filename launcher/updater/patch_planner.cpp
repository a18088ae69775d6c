#include "updater/patch_planner.h"

#include "patch_name.h"
#include "safe_path.h"

#include <QHash>
#include <QSet>
#include <QVector>
#include <vector>

namespace {

using PatchGraph = QHash<QString, QVector<PatchStep>>;

// Edges from each source hash text, in the order of the patches array.
PatchGraph build_graph(const QJsonArray &patches)
{
    PatchGraph graph;
    for (const QJsonValue &value : patches) {
        const QString name = value.toString();
        PatchName parsed;
        if (!PatchName::parse(name, parsed) || !safe_path::is_plain_file_name(name))
            continue;
        graph[parsed.source_hash].append(PatchStep {name, parsed.result_hash});
    }
    return graph;
}

// A node of the search: the hash text reached and how (the edge taken and the
// node it was taken from; -1 for the start).
struct SearchNode
{
    QString hash;
    int parent;
    PatchStep edge;
};

void append_path(QQueue<PatchStep> &chain, const std::vector<SearchNode> &nodes, int last)
{
    QVector<PatchStep> reversed;
    for (int at = last; nodes[size_t(at)].parent >= 0; at = nodes[size_t(at)].parent)
        reversed.append(nodes[size_t(at)].edge);
    for (int i = reversed.size() - 1; i >= 0; --i)
        chain.enqueue(reversed[i]);
}

} // namespace

void PatchPlanner::plan(QQueue<PatchStep> &chain, const QString &local_hash,
                        const QString &expected_hash, const QJsonArray &patches)
{
    const PatchGraph graph = build_graph(patches);

    // Breadth first: nodes are expanded in the order they were reached and a
    // node's edges in array order; the target is tested when an edge is
    // examined. A hash text already expanded is skipped: whatever it could
    // reach was reached earlier, at no greater depth, so the chain found stays
    // the same and cycles end.
    std::vector<SearchNode> nodes;
    nodes.push_back(SearchNode {local_hash, -1, PatchStep {}});
    QSet<QString> expanded;
    for (size_t next = 0; next < nodes.size(); ++next) {
        const QString hash = nodes[next].hash;
        if (expanded.contains(hash))
            continue;
        expanded.insert(hash);
        const auto edges = graph.constFind(hash);
        if (edges == graph.constEnd())
            continue;
        for (const PatchStep &edge : *edges) {
            nodes.push_back(SearchNode {edge.result_hash, int(next), edge});
            if (edge.result_hash == expected_hash) {
                append_path(chain, nodes, int(nodes.size() - 1));
                return;
            }
        }
    }
}
