#pragma once

#include "updater/file_record.h"

#include <QJsonArray>
#include <QQueue>
#include <QString>

// Finds the shortest chain of patches that turns a file with one hash text
// into one with another, over the patches a manifest lists for the file.
class PatchPlanner
{
public:
    // Appends to `chain` the shortest chain from `local_hash` to
    // `expected_hash`, or nothing when there is none. Among chains of equal
    // length the one whose patches come first in `patches` wins. Elements that
    // are not strings, are too short for the patch-name layout, or are not a
    // plain file name add no patch. Ends on every graph, cycles included.
    static void plan(QQueue<PatchStep> &chain, const QString &local_hash,
                     const QString &expected_hash, const QJsonArray &patches);
};
