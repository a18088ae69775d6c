#include "files/open_folder.h"

// What both systems share; each system's walk and entry operations are in
// open_folder_posix.cpp and open_folder_win.cpp.

OpenFolder OpenFolder::open(const QString &relative, bool create, Status &status)
{
    return open_in(QString(), relative, create, status);
}

OpenFolder OpenFolder::open_parent(const QString &relative_file, QString &leaf, Status &status)
{
    return open_parent_in(QString(), relative_file, leaf, status);
}

OpenFolder OpenFolder::open_parent_in(const QString &root, const QString &relative_file,
                                      QString &leaf, Status &status)
{
    const int slash = relative_file.lastIndexOf(QLatin1Char('/'));
    leaf = relative_file.mid(slash + 1);
    if (slash == 0)
        return open_in(root, QStringLiteral("/"), false, status);
    return open_in(root, slash < 0 ? QString() : relative_file.left(slash), false, status);
}
