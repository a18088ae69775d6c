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
// Links followed within one walk before it gives up, as POSIX systems do.
constexpr int MAX_LINKS = 40;

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

QStringList segments_of(const QString &path)
{
    return QDir::fromNativeSeparators(path).split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

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

Handle open_segment(HANDLE parent, const QString &name, bool create, OpenFolder::Status &status,
                    int &links);

// Walks `target`, a system path, from its volume's root, each segment by
// the same rule as the game folder's own.
Handle walk_system_path(const QString &target, OpenFolder::Status &status, int &links)
{
    // The root: "\??\C:\", "\??\Volume{...}\" or "\??\UNC\server\share\".
    const QString prefix = QStringLiteral("\\??\\");
    if (!target.startsWith(prefix)) {
        status = OpenFolder::Status::Missing;
        return Handle();
    }
    QStringList parts = target.mid(prefix.size()).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    const int root_parts = !parts.isEmpty() && parts.first() == QLatin1String("UNC") ? 3 : 1;
    if (parts.size() < root_parts) {
        status = OpenFolder::Status::Missing;
        return Handle();
    }
    const QString root = prefix + QStringList(parts.mid(0, root_parts)).join(QLatin1Char('\\')) +
        QLatin1Char('\\');
    Handle current =
        nt_file::open_at(nullptr, root, FOLDER_ACCESS, nt_file::SHARE_ALL, FILE_OPEN,
                         FILE_DIRECTORY_FILE);
    for (int i = root_parts; current.valid() && i < parts.size(); ++i) {
        if (parts[i] == QLatin1String("."))
            continue;
        current = open_segment(current.get(), parts[i], false, status, links);
    }
    if (!current.valid() && status == OpenFolder::Status::Open)
        status = OpenFolder::Status::Missing;
    return current;
}

// Where a link of a trusted owner that is open at `link` (in `parent`)
// leads, as a system path; "" (status Missing) when it cannot be read or the
// walk has followed too many links. The target is read from the very link
// judged: the link's name is never resolved again.
QString link_destination(HANDLE parent, HANDLE link, OpenFolder::Status &status, int &links)
{
    bool relative = false;
    QString target = link_target(link, relative);
    if (!target.isEmpty() && relative) {
        const QString base = system_path_of(parent);
        // ".." is resolved in the text, as the system resolves a relative link.
        const QString prefix = QStringLiteral("\\??\\");
        target = base.isEmpty()
            ? QString()
            : prefix +
                QDir::toNativeSeparators(QDir::cleanPath(QDir::fromNativeSeparators(
                    base.mid(prefix.size()) + QLatin1Char('\\') + target)));
    }
    if (target.isEmpty() || ++links > MAX_LINKS)
        status = OpenFolder::Status::Missing;
    return status == OpenFolder::Status::Open ? target : QString();
}

// Follows a link of a trusted owner to a folder, its target walked by the
// same rule as the game folder's own.
Handle follow_link(HANDLE parent, HANDLE link, OpenFolder::Status &status, int &links)
{
    const QString target = link_destination(parent, link, status, links);
    return target.isEmpty() ? Handle() : walk_system_path(target, status, links);
}

// A plain file `name` of `folder`, open for reading; a link of a trusted
// owner is followed as its target's folders are walked, then its leaf.
Handle open_file_entry(HANDLE folder, const QString &name, OpenFolder::Status &status, int &links)
{
    Handle file = nt_file::open_at(folder, name, GENERIC_READ | READ_CONTROL, nt_file::SHARE_ALL,
                                   FILE_OPEN, FILE_NON_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    nt_file::Facts facts;
    if (!file.valid() || !nt_file::facts_of(file.get(), facts) || facts.is_directory()) {
        status = OpenFolder::Status::Missing;
        return Handle();
    }
    if (!facts.is_link())
        return GetFileType(file.get()) == FILE_TYPE_DISK ? std::move(file) : Handle();
    if (!nt_file::trusted_owner(file.get())) {
        status = OpenFolder::Status::Refused;
        return Handle();
    }
    const QString target = link_destination(folder, file.get(), status, links);
    const int slash = target.lastIndexOf(QLatin1Char('\\'));
    if (target.isEmpty() || slash < 0) {
        status = OpenFolder::Status::Missing;
        return Handle();
    }
    Handle parent = walk_system_path(target.left(slash), status, links);
    return parent.valid() ? open_file_entry(parent.get(), target.mid(slash + 1), status, links)
                          : Handle();
}

// Opens segment `name` of `parent`: a plain folder as it is, a link by its
// owner; anything else (a file, nothing) as missing.
Handle open_segment(HANDLE parent, const QString &name, bool create, OpenFolder::Status &status,
                    int &links)
{
    if (name == QLatin1String("..") || name.contains(QLatin1Char(':'))) {
        status = OpenFolder::Status::Missing;
        return Handle();
    }
    Handle folder = nt_file::open_at(parent, name, FOLDER_ACCESS, nt_file::SHARE_ALL,
                                     create ? FILE_OPEN_IF : FILE_OPEN,
                                     FILE_DIRECTORY_FILE | FILE_OPEN_REPARSE_POINT);
    nt_file::Facts facts;
    if (!folder.valid() || !nt_file::facts_of(folder.get(), facts)) {
        status = OpenFolder::Status::Missing;
        return Handle();
    }
    if (!facts.is_link())
        return folder;
    if (!nt_file::trusted_owner(folder.get())) {
        status = OpenFolder::Status::Refused;
        return Handle();
    }
    return follow_link(parent, folder.get(), status, links);
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

OpenFolder OpenFolder::open_in(const QString &root, const QString &relative, bool create,
                               Status &status)
{
    status = Status::Open;
    if (QDir::isAbsolutePath(relative) || relative.startsWith(QLatin1Char('/'))) {
        Handle folder = open_folder_path(relative);
        if (!folder.valid())
            status = Status::Missing;
        return OpenFolder(folder.release());
    }
    Handle current = root.isEmpty() ? open_working_directory() : open_folder_path(root);
    int links = 0;
    for (const QString &segment : segments_of(relative)) {
        if (!current.valid())
            break;
        current = open_segment(current.get(), segment, create, status, links);
    }
    if (!current.valid() && status == Status::Open)
        status = Status::Missing;
    return OpenFolder(current.release());
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
    entry.trusted_link = entry.is_link && nt_file::trusted_owner(at.get());
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

std::unique_ptr<QFile> OpenFolder::open_for_reading(const QString &name, Status &status) const
{
    status = Status::Open;
    int links = 0;
    Handle file = open_file_entry(handle, name, status, links);
    if (!file.valid()) {
        if (status == Status::Open)
            status = Status::Missing;
        return nullptr;
    }
    return nt_file::wrap(std::move(file), QIODevice::ReadOnly);
}

bool OpenFolder::remove_entry(const QString &name) const
{
    DWORD error = 0;
    Handle at = open_entry(handle, name, DELETE | FILE_READ_ATTRIBUTES, &error);
    if (!at.valid())
        return nt_file::is_missing(error);
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

std::unique_ptr<QFile> OpenFolder::reuse_or_create(const QString &name) const
{
    Handle at = open_entry(handle, name, GENERIC_WRITE | FILE_READ_ATTRIBUTES);
    nt_file::Facts facts;
    if (at.valid() && nt_file::facts_of(at.get(), facts) && facts.is_plain_file() &&
        facts.links == 1) {
        FILE_END_OF_FILE_INFO end {};
        if (SetFileInformationByHandle(at.get(), FileEndOfFileInfo, &end, sizeof end))
            return nt_file::wrap(std::move(at), QIODevice::WriteOnly);
    }
    at.reset();
    return create_new(name);
}

bool OpenFolder::replace(const QString &source, const QString &target) const
{
    Handle at = open_entry(handle, source, DELETE | FILE_READ_ATTRIBUTES);
    return at.valid() && nt_file::rename_to(at.get(), handle, target);
}
