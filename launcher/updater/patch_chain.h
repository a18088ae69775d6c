#pragma once

#include "files/game_folder.h"
#include "updater/file_record.h"

#include <QString>
#include <QtGlobal>

// Applies one file's chain of patches without touching the game file until
// the end: every step's result is a file in the scratch area (the first step
// reads the game file, each later one the result before it), and only the
// last step's result, once it has the entry's size and its whole digest (its
// hash text where the manifest gives no digest), is copied beside the game
// file and renamed over it, by the same folder rules as a whole file. Any
// failure leaves the game file exactly as it was.
//
// The patch program is told how large each result may be: the entry's size
// for the last step, and a generous bound for the steps before it, whose
// sizes the manifest does not give. A patch that claims more is refused
// before it takes memory or disk.
class PatchChain
{
public:
    enum class Outcome {
        Applied, // the step's result is right (and, after the last, installed)
        Failed, // the patch did not give its result: fetch the file whole
        NotStarted, // the patch program could not be started at all
        NoSpace, // the disk filled up while a result was written
        Refused, // the file's place is behind a link of another owner
    };

    PatchChain(const GameFolder &game, const FileRecord &record);

    // Applies the patch at patch_path (removed afterwards, whatever the
    // outcome), whose result must have the hash text result_hash. `from_result`:
    // an earlier step of the chain left its result in the scratch area, and
    // this step works on it. `last`: the chain's last patch, whose result is
    // checked against the entry and installed.
    Outcome apply(const QString &patch_path, const QString &result_hash, bool from_result,
                  bool last) const;
    // Removes what the chain keeps in the scratch area between its steps.
    void discard() const;

    // The largest result a step before the last may have: twice the larger
    // of its source and the file's final size, and 1 MiB more.
    static qint64 interim_bound(qint64 source_size, qint64 final_size);

private:
    Outcome run_step(const QString &patch_path, const QString &result_hash, bool from_result,
                     bool last) const;
    Outcome install_result() const;

    const GameFolder game;
    const FileRecord record;
    const QString result_path;
};
