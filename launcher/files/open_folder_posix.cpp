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

QStringList segments_of(const QString &relative)
{
    return relative.isEmpty() ? QStringList() : relative.split(QLatin1Char('/'));
}

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

bool trusted_owner(uid_t uid)
{
    return uid == ::geteuid() || uid == 0;
}

// Links followed on one walk at most: more is a loop.
constexpr int MAX_LINK_DEPTH = 40;

int open_segment(int at, const QByteArray &name, bool create, int depth,
                 OpenFolder::Status &status);

// The text of the link `name` in folder `at` when a trusted owner made it.
// Where the system can open the link itself (O_PATH), its owner and its text
// come from that very link; elsewhere the link is looked at again after
// reading its text, which counts only if the same link still stands there.
bool read_trusted_link(int at, const QByteArray &name, QByteArray &target,
                       OpenFolder::Status &status)
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
        status = OpenFolder::Status::Missing;
        return false;
    }
    if (!trusted_owner(st.st_uid)) {
        ::close(link);
        status = OpenFolder::Status::Refused;
        return false;
    }
    length = ::readlinkat(link, "", text, PATH_MAX);
    ::close(link);
#else
    struct stat before
    {
    };
    if (::fstatat(at, name.constData(), &before, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(before.st_mode)) {
        status = OpenFolder::Status::Missing;
        return false;
    }
    if (!trusted_owner(before.st_uid)) {
        status = OpenFolder::Status::Refused;
        return false;
    }
    length = ::readlinkat(at, name.constData(), text, PATH_MAX);
    struct stat after
    {
    };
    if (::fstatat(at, name.constData(), &after, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISLNK(after.st_mode) || after.st_ino != before.st_ino || after.st_dev != before.st_dev ||
        !trusted_owner(after.st_uid)) {
        status = OpenFolder::Status::Refused;
        return false;
    }
#endif
    if (length <= 0) {
        status = OpenFolder::Status::Missing;
        return false;
    }
    target = QByteArray(text, int(length));
    return true;
}

// A plain file `name` of folder `at`, opened for reading without waiting (a
// FIFO never blocks); a link of a trusted owner is followed as its target
// is walked. -1 with the reason in status.
int open_file_entry(int at, const QByteArray &name, int depth, OpenFolder::Status &status);

// Opens what a trusted link's text names, relative to the link's folder
// `at`: one segment at a time, each a plain folder or again a trusted link,
// never a path handed to the system whole, so a link of another owner
// anywhere on the way is refused. `folder`: a folder is wanted, else a file.
int open_link_target(int at, const QByteArray &target, bool folder, int depth,
                     OpenFolder::Status &status)
{
    if (depth > MAX_LINK_DEPTH) {
        status = OpenFolder::Status::Missing;
        return -1;
    }
    int current = target.startsWith('/')
        ? ::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC)
        : ::openat(at, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    QList<QByteArray> segments = target.split('/');
    segments.removeAll(QByteArray());
    segments.removeAll(QByteArrayLiteral("."));
    for (int i = 0; current >= 0 && i < segments.size(); ++i) {
        const bool last = i == segments.size() - 1;
        const int next = last && !folder
            ? open_file_entry(current, segments[i], depth + 1, status)
            : open_segment(current, segments[i], false, depth + 1, status);
        ::close(current);
        current = next;
        if (current < 0)
            return -1;
    }
    if (current < 0) {
        status = OpenFolder::Status::Missing;
        return -1;
    }
    if (!folder && segments.isEmpty()) {
        ::close(current);
        status = OpenFolder::Status::Missing;
        return -1;
    }
    return current;
}

int open_file_entry(int at, const QByteArray &name, int depth, OpenFolder::Status &status)
{
    const int fd = ::openat(at, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st
        {
        };
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
            return fd;
        ::close(fd);
        status = OpenFolder::Status::Missing;
        return -1;
    }
    QByteArray target;
    if (errno != ELOOP || !read_trusted_link(at, name, target, status)) {
        if (status != OpenFolder::Status::Refused)
            status = OpenFolder::Status::Missing;
        return -1;
    }
    return open_link_target(at, target, false, depth, status);
}

// Opens segment `name` of folder `at`: a plain folder without following
// anything, else a link by its owner. -1 with the reason in status.
int open_segment(int at, const QByteArray &name, bool create, int depth,
                 OpenFolder::Status &status)
{
    for (bool made = false;; made = true) {
        const int folder =
            ::openat(at, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (folder >= 0)
            return folder;
        const int error = errno;
        if (error == ENOENT && create && !made &&
            (::mkdirat(at, name.constData(), 0777) == 0 || errno == EEXIST))
            continue;
        QByteArray target;
        if ((error == ELOOP || error == ENOTDIR) && read_trusted_link(at, name, target, status))
            return open_link_target(at, target, true, depth, status);
        if (error != ELOOP && error != ENOTDIR)
            status = OpenFolder::Status::Missing;
        return -1;
    }
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

OpenFolder OpenFolder::open_in(const QString &root, const QString &relative, bool create,
                               Status &status)
{
    status = Status::Open;
    const bool absolute = QDir::isAbsolutePath(relative);
    OpenFolder current; // the working directory
    if (absolute || !root.isEmpty()) {
        current = OpenFolder(::open(native(absolute ? relative : root).constData(),
                                    O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!current.is_open())
            status = Status::Missing;
        if (absolute || !current.is_open())
            return current;
    }
    for (const QString &segment : segments_of(relative)) {
        const int next = open_segment(current.descriptor, native(segment), create, 0, status);
        if (next < 0)
            return OpenFolder(-1);
        current = OpenFolder(next);
    }
    return current;
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
    entry.trusted_link = entry.is_link && trusted_owner(st.st_uid);
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

std::unique_ptr<QFile> OpenFolder::open_for_reading(const QString &name, Status &status) const
{
    status = Status::Open;
    const int fd = open_file_entry(descriptor, native(name), 0, status);
    if (fd < 0)
        return nullptr;
    return safe_file::wrap(fd, QIODevice::ReadOnly);
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

std::unique_ptr<QFile> OpenFolder::reuse_or_create(const QString &name) const
{
    const int fd =
        ::openat(descriptor, native(name).constData(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        struct stat st
        {
        };
        if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
            st.st_uid == ::geteuid() && ::ftruncate(fd, 0) == 0)
            return safe_file::wrap(fd, QIODevice::WriteOnly);
        ::close(fd);
    }
    return create_new(name);
}

bool OpenFolder::replace(const QString &source, const QString &target) const
{
    return ::renameat(descriptor, native(source).constData(), descriptor,
                      native(target).constData()) == 0;
}

