#include "files/open_folder.h"

#include "files/nt_file.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <winioctl.h>
#include <winternl.h>

using nt_file::Handle;

namespace {

constexpr ACCESS_MASK FOLDER_ACCESS =
    FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL;
// The part of a reparse point's data that names a link's target.
struct LinkData
{
    ULONG tag;
    USHORT data_length;
    USHORT reserved;
    USHORT substitute_offset;
    USHORT substitute_length;
    USHORT print_offset;
    USHORT print_length;
    // Symbolic links have a flags word here; junctions begin their names.
};
constexpr ULONG SYMLINK_RELATIVE = 1;

// The target a link names, as a system path ("\\??\\C:\\...") or, for a
// relative link, as written. Empty when it cannot be read.
QString link_target(HANDLE link, bool &relative)
{
    QByteArray buffer(MAXIMUM_REPARSE_DATA_BUFFER_SIZE, '\0');
    DWORD size = 0;
    if (!DeviceIoControl(link, FSCTL_GET_REPARSE_POINT, nullptr, 0, buffer.data(),
                         DWORD(buffer.size()), &size, nullptr) ||
        size < sizeof(LinkData))
        return QString();
    const auto *data = reinterpret_cast<const LinkData *>(buffer.constData());
    const bool symlink = data->tag == IO_REPARSE_TAG_SYMLINK;
    const int names = int(sizeof(LinkData)) + (symlink ? 4 : 0);
    if (names + data->substitute_offset + data->substitute_length > int(size))
        return QString();
    relative = false;
    if (symlink) {
        ULONG flags = 0;
        memcpy(&flags, buffer.constData() + sizeof(LinkData), sizeof flags);
        relative = flags & SYMLINK_RELATIVE;
    }
    return QString::fromUtf16(
        reinterpret_cast<const ushort *>(buffer.constData() + names + data->substitute_offset),
        data->substitute_length / 2);
}

// The system path of an open folder ("\\??\\C:\\games\\orvex").
QString system_path_of(HANDLE folder)
{
    std::wstring path(32768, L'\0');
    const DWORD length = GetFinalPathNameByHandleW(folder, &path[0], DWORD(path.size()),
                                                   FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0 || length >= path.size())
        return QString();
    QString text = QString::fromWCharArray(path.c_str(), int(length));
    if (text.startsWith(QLatin1String("\\\\?\\UNC\\")))
        return QStringLiteral("\\??\\UNC\\") + text.mid(8);
    if (text.startsWith(QLatin1String("\\\\?\\")))
        return QStringLiteral("\\??\\") + text.mid(4);
    return QStringLiteral("\\??\\") + text;
}

// One name of a folder: no "..", no stream (":") and no further separator,
// so the walk judges every segment itself.
bool is_segment(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String("..") && !name.contains(QLatin1Char(':')) &&
        !name.contains(QLatin1Char('\\')) && !name.contains(QLatin1Char('/'));
}

// The folder at a path of the process, as it is given (links followed).
Handle open_folder_path(const QString &path)
{
    // "C:" alone would be the drive's current folder, not its root.
    const bool drive = path.size() == 2 && path.at(1) == QLatin1Char(':');
    return nt_file::open_path(drive ? path + QLatin1Char('/') : path, FOLDER_ACCESS,
                              nt_file::SHARE_ALL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
}

Handle open_working_directory()
{
    return open_folder_path(QStringLiteral("."));
}

// The entry at name itself (a link not followed), for a look or a change.
Handle open_entry(HANDLE folder, const QString &name, ACCESS_MASK access, DWORD *error = nullptr)
{
    if (name.isEmpty() || name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\'))) {
        if (error)
            *error = ERROR_INVALID_NAME;
        return Handle();
    }
    return nt_file::open_at(folder, name, access, nt_file::SHARE_ALL, FILE_OPEN,
                            FILE_OPEN_REPARSE_POINT, error);
}

} // namespace

OpenFolder::OpenFolder() : handle(open_working_directory().release()) { }

OpenFolder::~OpenFolder()
{
    const Handle closing(static_cast<HANDLE>(handle));
}

OpenFolder::OpenFolder(OpenFolder &&other) noexcept : handle(other.handle)
{
    other.handle = nullptr;
}

OpenFolder &OpenFolder::operator=(OpenFolder &&other) noexcept
{
    if (this != &other) {
        const Handle closing(static_cast<HANDLE>(handle));
        handle = other.handle;
        other.handle = nullptr;
    }
    return *this;
}

bool OpenFolder::is_open() const
{
    return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

OpenFolder OpenFolder::invalid()
{
    return OpenFolder(nullptr);
}

OpenFolder OpenFolder::start_of(const QString &root, const QString &relative)
{
    if (QDir::isAbsolutePath(relative) || relative.startsWith(QLatin1Char('/')))
        return OpenFolder(open_folder_path(relative).release());
    return OpenFolder((root.isEmpty() ? open_working_directory() : open_folder_path(root)).release());
}

OpenFolder OpenFolder::open_child(const QString &name, bool create, Kind &kind) const
{
    kind = Kind::Missing;
    if (!is_segment(name))
        return invalid();
    Handle folder = nt_file::open_at(handle, name, FOLDER_ACCESS, nt_file::SHARE_ALL,
                                     create ? FILE_OPEN_IF : FILE_OPEN,
                                     FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    nt_file::Facts facts;
    if (!folder.valid() || !nt_file::facts_of(folder.get(), facts))
        return invalid();
    if (facts.is_link()) {
        kind = Kind::Link;
        return invalid();
    }
    kind = Kind::Folder;
    return OpenFolder(folder.release());
}

std::unique_ptr<QFile> OpenFolder::open_child_file(const QString &name, Kind &kind) const
{
    kind = Kind::Missing;
    if (!is_segment(name))
        return nullptr;
    Handle file = nt_file::open_at(handle, name, GENERIC_READ | READ_CONTROL, nt_file::SHARE_ALL,
                                   FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    nt_file::Facts facts;
    if (!file.valid() || !nt_file::facts_of(file.get(), facts) || facts.is_directory())
        return nullptr;
    if (facts.is_link()) {
        kind = Kind::Link;
        return nullptr;
    }
    // A file on a disk, not a console, pipe or other device.
    if (GetFileType(file.get()) != FILE_TYPE_DISK)
        return nullptr;
    kind = Kind::File;
    return nt_file::wrap(std::move(file), QIODevice::ReadOnly);
}

bool OpenFolder::read_link(const QString &name, LinkRoute &route) const
{
    if (!is_segment(name))
        return false;
    Handle link = open_entry(handle, name, GENERIC_READ | READ_CONTROL);
    nt_file::Facts facts;
    if (!link.valid() || !nt_file::facts_of(link.get(), facts) || !facts.is_link())
        return false;
    nt_file::owner_of(link.get(), route.owner.user, route.owner.system);
    bool relative = false;
    QString target = link_target(link.get(), relative);
    const QString prefix = QStringLiteral("\\??\\");
    if (!target.isEmpty() && relative) {
        // ".." is resolved in the text, as the system resolves a relative link.
        const QString base = system_path_of(handle);
        target = base.isEmpty()
            ? QString()
            : prefix +
                QDir::toNativeSeparators(QDir::cleanPath(QDir::fromNativeSeparators(
                    base.mid(prefix.size()) + QLatin1Char('\\') + target)));
    }
    // The root: "\??\C:\", "\??\Volume{...}\" or "\??\UNC\server\share\".
    if (!target.startsWith(prefix))
        return false;
    const QStringList parts = target.mid(prefix.size()).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    const int root_parts = !parts.isEmpty() && parts.first() == QLatin1String("UNC") ? 3 : 1;
    if (parts.size() < root_parts)
        return false;
    route.root = prefix + QStringList(parts.mid(0, root_parts)).join(QLatin1Char('\\')) +
        QLatin1Char('\\');
    route.segments = parts.mid(root_parts);
    return true;
}

OpenFolder OpenFolder::route_start(const QString &root) const
{
    // An empty name relative to a folder's handle opens that folder again.
    return OpenFolder(nt_file::open_at(root.isEmpty() ? handle : nullptr, root, FOLDER_ACCESS,
                                       nt_file::SHARE_ALL, FILE_OPEN, FILE_DIRECTORY_FILE)
                          .release());
}

std::unique_ptr<QFile> OpenFolder::open_single_file(const QString &name, Owner &owner) const
{
    Handle at = open_entry(handle, name, GENERIC_WRITE | FILE_READ_ATTRIBUTES | READ_CONTROL);
    nt_file::Facts facts;
    if (!at.valid() || !nt_file::facts_of(at.get(), facts) || !facts.is_plain_file() ||
        facts.links != 1)
        return nullptr;
    nt_file::owner_of(at.get(), owner.user, owner.system);
    return nt_file::wrap(std::move(at), QIODevice::WriteOnly);
}

OpenFolder::EntryInfo OpenFolder::entry_info(const QString &name) const
{
    EntryInfo entry;
    DWORD error = 0;
    Handle at = open_entry(handle, name, FILE_READ_ATTRIBUTES | READ_CONTROL, &error);
    if (!at.valid() && error == ERROR_ACCESS_DENIED)
        at = open_entry(handle, name, FILE_READ_ATTRIBUTES);
    nt_file::Facts facts;
    if (!at.valid() || !nt_file::facts_of(at.get(), facts)) {
        // Something stands there that cannot be looked at: not ours to use.
        entry.exists = at.valid() || !nt_file::is_missing(error);
        return entry;
    }
    entry.exists = true;
    entry.is_link = facts.is_link();
    entry.is_regular = !entry.is_link && !facts.is_directory();
    Owner owner;
    if (entry.is_link)
        nt_file::owner_of(at.get(), owner.user, owner.system);
    entry.trusted_link = entry.is_link && trusted(owner);
    if (entry.is_regular) {
        const bool read_only = facts.attributes & FILE_ATTRIBUTE_READONLY;
        QFileDevice::Permissions read = QFileDevice::ReadOwner | QFileDevice::ReadUser |
            QFileDevice::ReadGroup | QFileDevice::ReadOther;
        QFileDevice::Permissions write = QFileDevice::WriteOwner | QFileDevice::WriteUser |
            QFileDevice::WriteGroup | QFileDevice::WriteOther;
        entry.permissions = read_only ? read : read | write;
        entry.identity = facts.identity;
    }
    return entry;
}

bool OpenFolder::remove_entry(const QString &name) const
{
    DWORD error = 0;
    Handle at = open_entry(handle, name, DELETE | FILE_READ_ATTRIBUTES, &error);
    if (!at.valid())
        return nt_file::is_missing(error);
    // A folder is no entry to remove here (a junction, a link, is): as on
    // POSIX systems, something then still stands at the name.
    nt_file::Facts facts;
    if (!nt_file::facts_of(at.get(), facts) ||
        (facts.is_directory() && !(facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT)))
        return false;
    return nt_file::remove_open(at.get());
}

std::unique_ptr<QFile> OpenFolder::create_new(const QString &name) const
{
    if (name.contains(QLatin1Char('/')) || name.contains(QLatin1Char('\\')) ||
        !remove_entry(name))
        return nullptr;
    // Created exclusively: anything at the name, a link planted meanwhile
    // included, makes it fail.
    return nt_file::wrap(nt_file::open_at(handle, name,
                                 GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                 nt_file::SHARE_ALL, FILE_CREATE, FILE_NON_DIRECTORY_FILE),
                QIODevice::WriteOnly);
}

// Whether a user may create a file here is decided by the folder's access
// list and the volume, which only creating tells: the file is created and
// removed at once.
bool OpenFolder::can_create(const QString &name) const
{
    if (!is_open() || !create_new(name))
        return false;
    remove_entry(name);
    return true;
}

OpenFolder OpenFolder::duplicate() const
{
    HANDLE copy = nullptr;
    if (!is_open() ||
        !::DuplicateHandle(::GetCurrentProcess(), static_cast<HANDLE>(handle),
                           ::GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        return OpenFolder(static_cast<void *>(nullptr));
    return OpenFolder(static_cast<void *>(copy));
}

bool OpenFolder::replace(const QString &source, const QString &target) const
{
    Handle at = open_entry(handle, source, DELETE | FILE_READ_ATTRIBUTES);
    return at.valid() && nt_file::rename_to(at.get(), handle, target);
}
