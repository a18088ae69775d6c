#pragma once

#include "files/game_folder.h"
#include "updater/file_record.h"
#include "updater/update_plan.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QQueue>
#include <QString>
#include <QUrl>

// Checks the files a manifest lists against the game folder and plans each
// stale one: a chain of patches where one leads from the local file to the
// listed one, else the whole file. Runs on whatever thread calls it.
class PlanBuilder
{
public:
    // `game`: the folder whose files are checked.
    explicit PlanBuilder(const GameFolder &game) : game_folder(game) { }

    // The next checks hash every listed file instead of trusting what they
    // may skip.
    void set_full_verification(bool full) { full_verification = full; }

    // Checks every file of `files` (a manifest's "files", served from base)
    // and adds a record to `plan` for each stale one; a name planned before
    // is decided again. Unsafe names go to plan.refused_files.
    void add_files(UpdatePlan &plan, const QJsonObject &files, const QUrl &base) const;

    static QString file_hash(const QString &path);
    static void plan_patch_chain(QQueue<PatchStep> &chain, const QString &local_hash,
                                 const QString &expected_hash, const QJsonArray &patches);

private:
    const GameFolder game_folder;
    bool full_verification = false;
};
