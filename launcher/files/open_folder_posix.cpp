#include "files/open_folder.h"

#include "files/safe_file.h"
#include "files/stat_identity.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray native(const QString &path)
{
    // A name of ASCII characters has the same bytes in every encoding a
    // system uses for file names; only others need the locale's encoder.
    for (const QChar c : path) {
        if (c.unicode() >= 0x80)
            return QFile::encodeName(path);
    }
    return path.toLatin1();
}

// The same look at a link by its owner and its text. Where the system can
// open the link itself (O_PATH), both come from that very link; elsewhere
// the link is looked at again after reading its text, which counts only if
// the same link still stands there.
bool read_link_at(int at, const QByteArray &name, uid_t &owner, QByteArray &target)
{
    char text[PATH_MAX + 1];
    ssize_t length = -1;
#ifdef O_PATH
    const int link = ::openat(at, name.constData(), O_PATH | O_NOFOLLOW | O_CLOEXEC);
    struct stat st
    {
    };
    if (link < 0 || ::fstat(link, &st) != 0 || !S_ISLNK(st.st_mode)) {
        if (link >= 0)
            ::close(link);
        return false;
    }
    owner = st.st_uid;
    length = ::readlinkat(link, "", text, PATH_MAX);
    ::close(link);
#else
    struct stat before
    {
    };
    if (::fstatat(at, name.constData(), &before, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(before.st_mode))
        return false;
    length = ::readlinkat(at, name.constData(), text, PATH_MAX);
    struct stat after
    {
    };
    if (::fstatat(at, name.constData(), &after, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(after.st_mode) || after.st_ino != before.st_ino ||
        after.st_dev != before.st_dev || after.st_uid != before.st_uid)
        return false;
    owner = after.st_uid;
#endif
    if (length <= 0)
        return false;
    target = QByteArray(text, int(length));
    return true;
}

} // namespace

OpenFolder::OpenFolder() : descriptor(AT_FDCWD) { }

OpenFolder::~OpenFolder()
{
    if (descriptor >= 0)
        ::close(descriptor);
}

OpenFolder::OpenFolder(OpenFolder &&other) noexcept : descriptor(other.descriptor)
{
    other.descriptor = -1;
}

OpenFolder &OpenFolder::operator=(OpenFolder &&other) noexcept
{
    if (this != &other) {
        if (descriptor >= 0)
            ::close(descriptor);
        descriptor = other.descriptor;
        other.descriptor = -1;
    }
    return *this;
}

bool OpenFolder::is_open() const
{
    return descriptor != -1;
}

OpenFolder OpenFolder::invalid()
{
    return OpenFolder(-1);
}

OpenFolder OpenFolder::start_of(const QString &root, const QString &relative)
{
    if (QDir::isAbsolutePath(relative))
        return OpenFolder(::open(native(relative).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root.isEmpty())
        return OpenFolder(::open(native(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return OpenFolder(); // the working directory
}

OpenFolder OpenFolder::open_child(const QString &name, bool create, Kind &kind) const
{
    const QByteArray bytes = native(name);
    for (bool made = false;; made = true) {
        const int folder =
            ::openat(descriptor, bytes.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (folder >= 0) {
            kind = Kind::Folder;
            return OpenFolder(folder);
        }
        const int error = errno;
        if (error == ENOENT && create && !made &&
            (::mkdirat(descriptor, bytes.constData(), 0777) == 0 || errno == EEXIST))
            continue;
        struct stat st
        {
        };
        kind = (error == ELOOP || error == ENOTDIR) &&
                ::fstatat(descriptor, bytes.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                S_ISLNK(st.st_mode)
            ? Kind::Link
            : Kind::Missing;
        return invalid();
    }
}

std::unique_ptr<QFile> OpenFolder::open_child_file(const QString &name, Kind &kind) const
{
    // Without waiting: a FIFO never blocks.
    const int fd = ::openat(descriptor, native(name).constData(),
                            O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        kind = errno == ELOOP ? Kind::Link : Kind::Missing;
        return nullptr;
    }
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        kind = Kind::Missing;
        return nullptr;
    }
    kind = Kind::File;
    return safe_file::wrap(fd, QIODevice::ReadOnly);
}

bool OpenFolder::read_link(const QString &name, LinkRoute &route) const
{
    uid_t owner = 0;
    QByteArray target;
    if (!read_link_at(descriptor, native(name), owner, target))
        return false;
    route.owner.user = owner == ::geteuid();
    route.owner.system = owner == 0;
    // A relative link is walked from its own folder, ".." as the system
    // takes it: the folder above the one reached.
    route.root = target.startsWith('/') ? QStringLiteral("/") : QString();
    route.segments = QFile::decodeName(target).split(QLatin1Char('/'));
    return true;
}

OpenFolder OpenFolder::route_start(const QString &root) const
{
    return OpenFolder(root.isEmpty()
                          ? ::openat(descriptor, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
                          : ::open(native(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
}

std::unique_ptr<QFile> OpenFolder::open_single_file(const QString &name, Owner &owner) const
{
    const int fd =
        ::openat(descriptor, native(name).constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1) {
        ::close(fd);
        return nullptr;
    }
    owner.user = st.st_uid == ::geteuid();
    owner.system = st.st_uid == 0;
    return safe_file::wrap(fd, QIODevice::WriteOnly);
}

OpenFolder::EntryInfo OpenFolder::entry_info(const QString &name) const
{
    EntryInfo entry;
    struct stat st
    {
    };
    if (::fstatat(descriptor, native(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return entry;
    entry.exists = true;
    entry.is_link = S_ISLNK(st.st_mode);
    entry.is_regular = S_ISREG(st.st_mode);
    const Owner owner {st.st_uid == ::geteuid(), st.st_uid == 0};
    entry.trusted_link = entry.is_link && trusted(owner);
    if (entry.is_regular) {
        // Qt's flags: owner (and this user) in the top two digits, then group
        // and others, one hexadecimal digit per set of bits.
        const unsigned owner = (st.st_mode >> 6) & 7;
        entry.permissions = QFileDevice::Permissions(
            int((owner << 12) | (owner << 8) | (((st.st_mode >> 3) & 7) << 4) | (st.st_mode & 7)));
        entry.identity = identity_of(st);
    }
    return entry;
}

bool OpenFolder::remove_entry(const QString &name) const
{
    return ::unlinkat(descriptor, native(name).constData(), 0) == 0 || errno == ENOENT;
}

// Usually nothing stands at the name: the exclusive create comes first, and
// only an entry in its way is removed before the one more try.
std::unique_ptr<QFile> OpenFolder::create_new(const QString &name) const
{
    const QByteArray path = native(name);
    // O_EXCL fails on any entry at the name, a dangling link included.
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
    int fd = ::openat(descriptor, path.constData(), flags, 0644);
    if (fd < 0 && errno == EEXIST && remove_entry(name))
        fd = ::openat(descriptor, path.constData(), flags, 0644);
    return safe_file::wrap(fd, QIODevice::WriteOnly);
}

// Creating an entry takes a folder that still has a name (a removed folder
// takes no new entries), write and search permission on it, and a file
// system mounted for writing; the effective user's rights count, as for
// the create itself. What stands at the name must be removable as
// create_new removes it: anything but a folder.
bool OpenFolder::can_create(const QString &name) const
{
    struct stat st
    {
    };
    if (!is_open() || ::fstatat(descriptor, ".", &st, 0) != 0 || st.st_nlink == 0 ||
        ::faccessat(descriptor, ".", W_OK | X_OK, AT_EACCESS) != 0)
        return false;
    return ::fstatat(descriptor, native(name).constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISDIR(st.st_mode);
}

OpenFolder OpenFolder::duplicate() const
{
    if (descriptor == AT_FDCWD)
        return OpenFolder();
    return OpenFolder(descriptor < 0 ? -1 : ::fcntl(descriptor, F_DUPFD_CLOEXEC, 0));
}

bool OpenFolder::replace(const QString &source, const QString &target) const
{
    return ::renameat(descriptor, native(source).constData(), descriptor,
                      native(target).constData()) == 0;
}

