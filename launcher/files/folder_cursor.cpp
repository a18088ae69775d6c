#include "files/folder_cursor.h"

const OpenFolder &FolderCursor::open_parent(const QString &relative_file, QString &leaf,
                                            OpenFolder::Status &status)
{
    const int slash = relative_file.lastIndexOf(QLatin1Char('/'));
    const QStringRef parent = relative_file.leftRef(slash + 1);
    if (held && parent == held_parent) {
        leaf = relative_file.mid(slash + 1);
        status = held_status;
        return folder;
    }
    folder = game.open_parent(relative_file, leaf, status);
    held = status != OpenFolder::Status::Missing;
    held_parent = parent.toString();
    held_status = status;
    return folder;
}
