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
