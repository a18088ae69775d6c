#pragma once

#include <QString>

// Where a new download tree is built before it is served. The tree grows in
// a hidden sibling of the served folder, ".<name>.staging-XXXXXX" (same file
// system, so it can be hard-linked to and renamed), with the run's scratch
// files in its ".scratch" subfolder. When it is complete it takes the served
// folder's place in one step: renameat2(RENAME_EXCHANGE) swaps the two
// folders atomically, so whoever reads the served path sees the whole old
// tree or the whole new one, never a mix; the old tree is then deleted.
// Until then the served folder is not touched, so a failure or a kill leaves
// it as it was.
//
// A lock file (".<name>.publish-lock", flock, holding the pid of its run)
// keeps two runs on the same folder apart; the run that holds it deletes
// staging folders a killed run left behind, and the lock file itself when it
// ends. The kernel drops a killed run's flock, so the file it left is taken
// over by the next run and removed in turn.
class StagingArea
{
public:
    StagingArea() = default;
    ~StagingArea();
    StagingArea(const StagingArea &) = delete;
    StagingArea &operator=(const StagingArea &) = delete;

    // Locks, clears leftovers of earlier runs and creates the staging folder
    // for the served folder out_dir.
    bool open(const QString &out_dir, QString *error);
    QString tree() const { return staging; }
    QString scratch() const { return staging + QStringLiteral("/.scratch"); }
    // Removes the scratch folder and puts the tree in the served folder's
    // place. The staging folder is gone afterwards, whatever the outcome.
    bool publish(QString *error);

private:
    bool lock(const QString &lock_path, QString *error);

    QString out;
    QString staging;
    QString lock_file;
    int lock_fd = -1;
};
