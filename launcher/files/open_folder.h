#pragma once

#include "files/file_identity.h"

#include <QFileDevice>
#include <QString>
#include <QStringList>

#include <memory>

class QFile;

// A folder of the game folder (the working directory, or a GameFolder's path),
// opened one segment of its relative path at a time. A segment that is a
// symbolic link (on Windows also a junction) is followed only when the link
// belongs to the user running the launcher or to the system (root): that is
// the player's own choice, such as a data folder moved to another disk. A link
// of any other owner ends the walk as refused. Each segment is opened without
// following links first and the owner is checked on the link itself, so no
// link swapped in between is ever followed; a trusted link's target is walked
// the same way, segment by segment, so a link of another owner inside it is
// refused too. Every operation on an entry then works relative to the open
// folder, never again through the path: a descriptor on POSIX systems
// (open_folder_posix.cpp), a handle on Windows (open_folder_win.cpp).
// The walk itself and the owner rules are one for both systems
// (open_folder.cpp); each system's file holds only its calls.
class OpenFolder
{
public:
    enum class Status {
        Open, // the folder is open
        Missing, // a segment does not exist or is no folder (nothing refused)
        Refused, // a segment is a link of another owner
    };

    // What stands at an entry's name (links not followed).
    struct EntryInfo
    {
        bool exists = false;
        bool is_link = false;
        bool is_regular = false; // a plain file, not a link
        bool trusted_link = false; // a link of the user or of the system
        // Of a plain file, from the same look: its permissions, and its size,
        // times and number (all zero for anything else).
        QFileDevice::Permissions permissions;
        FileIdentity identity;
    };

    // The working directory itself.
    OpenFolder();
    ~OpenFolder();
    OpenFolder(OpenFolder &&other) noexcept;
    OpenFolder &operator=(OpenFolder &&other) noexcept;
    OpenFolder(const OpenFolder &) = delete;
    OpenFolder &operator=(const OpenFolder &) = delete;

    // Opens `relative` ("" or a path safe_path::is_relative_path accepts)
    // below the working directory; with `create`, missing segments are made
    // as plain folders on the way. An absolute path is the caller's own
    // choice, as the working directory is, and opens as it is given.
    static OpenFolder open(const QString &relative, bool create, Status &status);
    // Opens the folder that holds the file `relative_file`; `leaf` receives
    // the file's own name.
    static OpenFolder open_parent(const QString &relative_file, QString &leaf, Status &status);
    // The same below the folder at the absolute path `root` (opened as it is
    // given, as the working directory is) instead of the working directory;
    // an empty root is the working directory.
    static OpenFolder open_in(const QString &root, const QString &relative, bool create,
                              Status &status);
    static OpenFolder open_parent_in(const QString &root, const QString &relative_file,
                                     QString &leaf, Status &status);

    bool is_open() const;

    EntryInfo entry_info(const QString &name) const;
    // The file at name, open for reading: a plain file, or what a link of
    // the user or of the system leads to, its target walked segment by
    // segment by the same rule. Null with status Refused for a link of
    // another owner on the way, Missing when there is no plain file.
    std::unique_ptr<QFile> open_for_reading(const QString &name, Status &status) const;
    // Removes the entry at name (a file or a link, never what a link points
    // to). True when nothing stands there afterwards.
    bool remove_entry(const QString &name) const;
    // A new, empty file at name, created exclusively after removing what
    // stood there: a link planted meanwhile makes it fail, never followed.
    std::unique_ptr<QFile> create_new(const QString &name) const;
    // Whether create_new(name) would succeed now, as far as the folder's
    // access rules decide it. On POSIX systems the system's access check
    // of the folder answers without creating anything; on Windows, where
    // only creating tells, the file is created and removed again.
    bool can_create(const QString &name) const;
    // Another handle on the same open folder, for another thread: closing
    // either leaves the other open. Not open when it cannot be made.
    OpenFolder duplicate() const;
    // The plain file of one name that this user owns at name, emptied, or
    // else a new one as create_new makes.
    std::unique_ptr<QFile> reuse_or_create(const QString &name) const;
    // Renames source over target (both in this folder) in one step.
    bool replace(const QString &source, const QString &target) const;

private:
    // What stands at a name, links not followed.
    enum class Kind { Missing, Folder, File, Link };
    // Whose an entry is: the user running the launcher, or the system
    // (root; on Windows also the administrators).
    struct Owner
    {
        bool user = false;
        bool system = false;
    };
    // Where a link leads, read from the very link whose owner was judged:
    // `segments` below `root` ("/" or a volume's root), or below the link's
    // own folder when root is "".
    struct LinkRoute
    {
        Owner owner;
        QString root;
        QStringList segments;
    };

    // The shared walk (open_folder.cpp).
    static bool trusted(const Owner &owner) { return owner.user || owner.system; }
    OpenFolder walk_segment(const QString &name, bool create, int &links, Status &status) const;
    std::unique_ptr<QFile> walk_file(const QString &name, int &links, Status &status) const;
    // The folder a trusted link at `name` leads to, its route walked
    // segment by segment; with `leaf` the folder that holds the route's last
    // segment, which is handed back in leaf.
    OpenFolder follow_link(const QString &name, int &links, Status &status,
                           QString *leaf = nullptr) const;

    // Each system's calls (open_folder_posix.cpp, open_folder_win.cpp).
    static OpenFolder invalid();
    // Where open_in begins: the folder at `relative` itself when that is
    // absolute, else the one at `root` ("": the working directory).
    static OpenFolder start_of(const QString &root, const QString &relative);
    // Segment `name` as a folder, made first when `create` and nothing
    // stands there; open only when kind is Folder.
    OpenFolder open_child(const QString &name, bool create, Kind &kind) const;
    // The plain file at `name`, open for reading; null unless kind is File.
    std::unique_ptr<QFile> open_child_file(const QString &name, Kind &kind) const;
    // The link at `name`: its owner and route; false when it is none or
    // cannot be read.
    bool read_link(const QString &name, LinkRoute &route) const;
    // Where a route begins: the folder at `root`, or this one again for "".
    OpenFolder route_start(const QString &root) const;
    // The entry at `name` open for writing, links not followed, when it is
    // a plain file of one name; its owner in `owner`. Null otherwise.
    std::unique_ptr<QFile> open_single_file(const QString &name, Owner &owner) const;

#ifdef Q_OS_WIN
    explicit OpenFolder(void *handle) : handle(handle) { }
    void *handle; // the folder's HANDLE, null when not open
#else
    explicit OpenFolder(int descriptor) : descriptor(descriptor) { }
    int descriptor; // a folder descriptor, AT_FDCWD, or -1 when not open
#endif
};
