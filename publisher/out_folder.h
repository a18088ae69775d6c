#pragma once

#include "previous_version.h"
#include "publish_options.h"

#include <QList>
#include <QString>

// The publisher replaces --out whole, so it only ever writes a folder that
// is missing, empty, or holds a tree it published itself: one with the
// marker file it writes into every tree, beside the manifest (a tree from
// before the marker counts when it passes the check). Paths are compared
// resolved (links followed), so --out can neither be, contain nor lie inside
// the release or an earlier version, except that it may be the earlier
// version it replaces.

// The marker's name in the root of a published tree.
QString published_marker_name();
// Writes the marker into the tree being built.
bool write_published_marker(const QString &tree, QString *error);

// Why the run must not write --out, or "" when it may. A tree in --out is
// only replaced when its patch history goes on (the first --previous is a
// published tree) or options.new_history says to start anew. Looks only:
// nothing is created or changed.
QString out_folder_refusal(const PublishOptions &options, const QList<PreviousVersion> &previous);
