#include "files/safe_file.h"

#include "files/open_folder.h"

#include <QFile>

// The path-based forms of OpenFolder's entry operations; what else safe_file
// does is each system's own (safe_file_posix.cpp, safe_file_win.cpp).

namespace safe_file {

namespace {

// The folder that holds `path`, walked as every game folder path is, and
// the entry's own name in it.
struct Parent
{
    explicit Parent(const QString &path)
    {
        OpenFolder::Status status;
        folder = OpenFolder::open_parent(path, leaf, status);
        open = status == OpenFolder::Status::Open && folder.is_open() && !leaf.isEmpty();
    }
    OpenFolder folder;
    QString leaf;
    bool open = false;
};

} // namespace

bool remove_entry(const QString &path)
{
    const Parent parent(path);
    return parent.open ? parent.folder.remove_entry(parent.leaf) : !entry_exists(path);
}

std::unique_ptr<QFile> create_new(const QString &path)
{
    const Parent parent(path);
    return parent.open ? parent.folder.create_new(parent.leaf) : nullptr;
}

} // namespace safe_file
