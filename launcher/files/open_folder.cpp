#include "files/open_folder.h"

#include <QDir>
#include <QFile>

// What both systems share: the walk along segments and links, and whose
// entries are trusted. Each system's calls are in open_folder_posix.cpp and
// open_folder_win.cpp.

namespace {

// Links followed on one walk at most: more is a loop.
constexpr int MAX_LINKS = 40;

} // namespace

OpenFolder OpenFolder::walk_segment(const QString &name, bool create, int &links,
                                    Status &status) const
{
    Kind kind = Kind::Missing;
    OpenFolder next = open_child(name, create, kind);
    if (kind == Kind::Folder)
        return next;
    if (kind == Kind::Link)
        return follow_link(name, links, status);
    status = Status::Missing;
    return invalid();
}

std::unique_ptr<QFile> OpenFolder::walk_file(const QString &name, int &links,
                                             Status &status) const
{
    Kind kind = Kind::Missing;
    std::unique_ptr<QFile> file = open_child_file(name, kind);
    if (kind == Kind::File && file)
        return file;
    if (kind != Kind::Link) {
        status = Status::Missing;
        return nullptr;
    }
    QString leaf;
    const OpenFolder parent = follow_link(name, links, status, &leaf);
    return parent.is_open() ? parent.walk_file(leaf, links, status) : nullptr;
}

OpenFolder OpenFolder::follow_link(const QString &name, int &links, Status &status,
                                   QString *leaf) const
{
    LinkRoute route;
    if (!read_link(name, route)) {
        status = Status::Missing;
        return invalid();
    }
    if (!trusted(route.owner)) {
        status = Status::Refused;
        return invalid();
    }
    QStringList segments = route.segments;
    segments.removeAll(QString());
    segments.removeAll(QStringLiteral("."));
    if (++links > MAX_LINKS || (leaf && segments.isEmpty())) {
        status = Status::Missing;
        return invalid();
    }
    if (leaf)
        *leaf = segments.takeLast();
    OpenFolder current = route_start(route.root);
    for (const QString &segment : qAsConst(segments)) {
        if (!current.is_open())
            break;
        current = current.walk_segment(segment, false, links, status);
    }
    if (!current.is_open() && status == Status::Open)
        status = Status::Missing;
    return current;
}

OpenFolder OpenFolder::open_in(const QString &root, const QString &relative, bool create,
                               Status &status)
{
    status = Status::Open;
    OpenFolder current = start_of(root, relative);
    if (!current.is_open()) {
        status = Status::Missing;
        return current;
    }
    if (QDir::isAbsolutePath(relative) || relative.startsWith(QLatin1Char('/')))
        return current;
    int links = 0;
    // Windows takes "\\" as a separator too; elsewhere it is part of a name.
    const QStringList segments =
        QDir::fromNativeSeparators(relative).split(QLatin1Char('/'), Qt::SkipEmptyParts);
    for (const QString &segment : segments) {
        current = current.walk_segment(segment, create, links, status);
        if (!current.is_open()) {
            if (status == Status::Open)
                status = Status::Missing;
            return current;
        }
    }
    return current;
}

std::unique_ptr<QFile> OpenFolder::open_for_reading(const QString &name, Status &status) const
{
    status = Status::Open;
    int links = 0;
    std::unique_ptr<QFile> file = walk_file(name, links, status);
    if (!file && status == Status::Open)
        status = Status::Missing;
    return file;
}

std::unique_ptr<QFile> OpenFolder::reuse_or_create(const QString &name) const
{
    // Only a file this user owns, of one name, is written over in place: a
    // file of another user, or one with a second name elsewhere, is
    // replaced by a new one.
    Owner owner;
    std::unique_ptr<QFile> file = open_single_file(name, owner);
    if (file && owner.user && file->resize(0))
        return file;
    file.reset();
    return create_new(name);
}

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
