#pragma once

// Windows only: files opened by handle relative to an open folder, the way
// the POSIX code uses openat. Every name crosses the system as UTF-16, and a
// name relative to a folder handle has no length limit of its own.
#include "files/file_identity.h"

#include <QIODevice>
#include <QString>

#include <memory>

#include <windows.h>

class QFile;

namespace nt_file {

// An open handle, closed when the holder goes.
class Handle
{
public:
    Handle() = default;
    explicit Handle(HANDLE handle) : value(handle) { }
    ~Handle() { reset(); }
    Handle(Handle &&other) noexcept : value(other.release()) { }
    Handle &operator=(Handle &&other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;

    bool valid() const { return value != nullptr && value != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return value; }
    HANDLE release()
    {
        const HANDLE held = value;
        value = nullptr;
        return held;
    }
    void reset(HANDLE handle = nullptr)
    {
        if (valid())
            CloseHandle(value);
        value = handle;
    }

private:
    HANDLE value = nullptr;
};

// What one look at an open handle gives.
struct Facts
{
    DWORD attributes = 0;
    DWORD reparse_tag = 0;
    DWORD links = 0;
    FileIdentity identity; // size, times, file index and volume

    bool is_directory() const { return attributes & FILE_ATTRIBUTE_DIRECTORY; }
    // A file of its own: no folder, no link, no other reparse point.
    bool is_plain_file() const
    {
        return !is_directory() && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    }
    // A symbolic link or a junction: an entry that names another.
    bool is_link() const;
};

// Opens `name` (one segment, or a path of segments joined by "\\") relative
// to `folder`; a null folder takes `name` as a full system path ("\\??\\C:\\...").
// `disposition` and `options` are the native ones (FILE_OPEN, FILE_CREATE,
// FILE_OPEN_IF; FILE_DIRECTORY_FILE, FILE_OPEN_REPARSE_POINT, ...). On failure
// the handle is invalid and `error` (when given) holds the Win32 error.
Handle open_at(HANDLE folder, const QString &name, ACCESS_MASK access, ULONG share,
               ULONG disposition, ULONG options, DWORD *error = nullptr);
// The same for a path of the process (relative to the working directory or
// absolute, with "/" or "\\"), as CreateFileW opens it; paths of any length.
Handle open_path(const QString &path, ACCESS_MASK access, ULONG share, DWORD creation,
                 DWORD flags, DWORD *error = nullptr);
bool facts_of(HANDLE handle, Facts &facts);
// A Windows file time (100 ns steps since 1601) in nanoseconds since 1970.
qint64 unix_ns(qint64 ticks);
// Whose the handle's entry is: the user running the launcher (`user`), or
// the system or the administrators (`system`); both false when its owner
// cannot be read.
void owner_of(HANDLE handle, bool &user, bool &system);
// Renames the entry open at `handle` to `target` in `folder`, over whatever
// stands there (a link there is replaced, never followed).
bool rename_to(HANDLE handle, HANDLE folder, const QString &target);
// Removes the entry open at `handle` (opened with DELETE access).
bool remove_open(HANDLE handle);
// An unbuffered QFile that owns the handle; null when it cannot be wrapped.
std::unique_ptr<QFile> wrap(Handle handle, QIODevice::OpenMode mode);
// Opens `file` (buffered as `mode` says) on the handle, which it then owns.
bool open_into(Handle handle, QFile &file, QIODevice::OpenMode mode);
// Whether the last failure means that nothing stands at the name.
bool is_missing(DWORD error);

constexpr ULONG SHARE_ALL = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace nt_file
