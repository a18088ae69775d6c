#pragma once

#include "files/open_folder.h"

#include <QString>

class ScratchArea;

// The folder the game is installed in, the one the update works on. Every
// room that touches it is handed this object rather than reading the working
// directory: listed names are relative to path(), and its folders are walked
// below it as OpenFolder walks them. A plain value, cheap to copy and safe to
// read from any thread.
class GameFolder
{
public:
    // The folder at `path`, made absolute against the working directory.
    explicit GameFolder(const QString &path);
    // The folder the launcher program updates and starts the game from,
    // chosen once at start (after the application object exists): the
    // working directory on POSIX systems (game_folder_posix.cpp). On
    // Windows the launcher's own folder, where the installer puts it and the
    // game: a working directory cannot hold a path of 260 characters or
    // more there, and a start from elsewhere would otherwise update one
    // folder and start the game from another. It is also made the working
    // directory, in its short form when the long one is too long, so that
    // programs started without a folder of their own run in it too
    // (game_folder_win.cpp).
    static GameFolder of_launcher();

    // Absolute, without a trailing "/" (but for a root of its own).
    const QString &path() const { return root; }
    // The absolute path of `name`, a name below the folder.
    QString file_path(const QString &name) const;
    // OpenFolder::open and OpenFolder::open_parent, below this folder.
    OpenFolder open(const QString &relative, bool create, OpenFolder::Status &status) const;
    OpenFolder open_parent(const QString &relative_file, QString &leaf,
                           OpenFolder::Status &status) const;
    // The launcher's scratch folder inside this folder.
    ScratchArea scratch() const;

private:
    QString root;
};
