#pragma once

#include "updater/file_record.h"

#include <QQueue>
#include <QStringList>
#include <QtGlobal>

// What the file checks of one or more manifests found: the stale files in
// the order they are to be fetched, and the listed names that were left out.
// Made by PlanBuilder, handed whole to the UpdateRun, which works on a copy.
struct UpdatePlan
{
    QQueue<FileRecord> files;
    // Names whose file or folder would reach outside the game folder: in key
    // order, each name once.
    QStringList refused_files;
    // Files read and hashed for this plan; the others had a hash text in the
    // verification cache.
    qint64 hashed_files = 0;

    // One step per patch, or one for a whole file.
    qint64 total_steps() const
    {
        qint64 steps = 0;
        for (const FileRecord &record : files)
            steps += record.patch_chain.isEmpty() ? 1 : record.patch_chain.size();
        return steps;
    }
};
