#pragma once

#include "files/game_folder.h"
#include "files/open_folder.h"

#include <QString>

// Opens the folders that hold a run of files, one after another, keeping the
// last one open: in a manifest's key order the files of one folder come
// together, so each folder is walked about once rather than once per file.
// An open or refused folder is kept as found; a missing one is looked for
// again on the next call, as it may have been made meanwhile.
class FolderCursor
{
public:
    explicit FolderCursor(const GameFolder &game) : game(game) { }

    // As GameFolder::open_parent. The folder stays valid until the next call.
    const OpenFolder &open_parent(const QString &relative_file, QString &leaf,
                                  OpenFolder::Status &status);

private:
    const GameFolder game;
    OpenFolder folder;
    QString held_parent; // relative_file up to its last "/" included
    OpenFolder::Status held_status = OpenFolder::Status::Missing;
    bool held = false;
};
