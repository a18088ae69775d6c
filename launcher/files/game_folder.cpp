#include "files/game_folder.h"

#include "files/scratch_area.h"

#include <QDir>

GameFolder::GameFolder(const QString &path)
    : root(QDir::cleanPath(QDir::current().absoluteFilePath(path)))
{
}

QString GameFolder::file_path(const QString &name) const
{
    return root.endsWith(QLatin1Char('/')) ? root + name : root + QLatin1Char('/') + name;
}

OpenFolder GameFolder::open(const QString &relative, bool create, OpenFolder::Status &status) const
{
    return OpenFolder::open_in(root, relative, create, status);
}

OpenFolder GameFolder::open_parent(const QString &relative_file, QString &leaf,
                                   OpenFolder::Status &status) const
{
    return OpenFolder::open_parent_in(root, relative_file, leaf, status);
}

ScratchArea GameFolder::scratch() const
{
    return ScratchArea(*this);
}
