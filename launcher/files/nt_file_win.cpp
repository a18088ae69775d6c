#include "files/nt_file.h"

#include "atomic_file.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <aclapi.h>
#include <fcntl.h>
#include <io.h>
#include <winternl.h>

#include <vector>

namespace nt_file {

qint64 unix_ns(qint64 ticks)
{
    constexpr qint64 EPOCH_DIFFERENCE = 116444736000000000LL;
    return (ticks - EPOCH_DIFFERENCE) * 100;
}

bool Facts::is_link() const
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        (reparse_tag == IO_REPARSE_TAG_SYMLINK || reparse_tag == IO_REPARSE_TAG_MOUNT_POINT);
}

Handle open_at(HANDLE folder, const QString &name, ACCESS_MASK access, ULONG share,
               ULONG disposition, ULONG options, DWORD *error)
{
    const QString native = QDir::toNativeSeparators(name);
    if (native.isEmpty() || native.size() > 32767) {
        if (error)
            *error = ERROR_INVALID_NAME;
        return Handle();
    }
    UNICODE_STRING text;
    text.Buffer = reinterpret_cast<PWSTR>(const_cast<ushort *>(native.utf16()));
    text.Length = USHORT(native.size() * 2);
    text.MaximumLength = text.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, nullptr);
    IO_STATUS_BLOCK io {};
    HANDLE handle = nullptr;
    const NTSTATUS status =
        NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr,
                     FILE_ATTRIBUTE_NORMAL, share, disposition,
                     options | FILE_SYNCHRONOUS_IO_NONALERT, nullptr, 0);
    if (status < 0) {
        if (error)
            *error = RtlNtStatusToDosError(status);
        return Handle();
    }
    return Handle(handle);
}

Handle open_path(const QString &path, ACCESS_MASK access, ULONG share, DWORD creation,
                 DWORD flags, DWORD *error)
{
    const HANDLE handle = CreateFileW(atomic_file::windows_path(path).c_str(), access, share,
                                      nullptr, creation, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE && error)
        *error = GetLastError();
    return Handle(handle);
}

bool facts_of(HANDLE handle, Facts &facts)
{
    BY_HANDLE_FILE_INFORMATION info {};
    FILE_BASIC_INFO basic {};
    if (!GetFileInformationByHandle(handle, &info) ||
        !GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic))
        return false;
    facts.attributes = info.dwFileAttributes;
    facts.reparse_tag = 0;
    if (facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        FILE_ATTRIBUTE_TAG_INFO tag {};
        if (GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof tag))
            facts.reparse_tag = tag.ReparseTag;
    }
    facts.links = info.nNumberOfLinks;
    FileIdentity &identity = facts.identity;
    identity.size = (qint64(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    identity.mtime_ns = unix_ns(basic.LastWriteTime.QuadPart);
    identity.ctime_ns = unix_ns(basic.ChangeTime.QuadPart); // data or metadata
    identity.inode = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    identity.device = quint64(info.dwVolumeSerialNumber);
    return true;
}

void owner_of(HANDLE handle, bool &user, bool &system)
{
    user = system = false;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    const bool read = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                                      nullptr, nullptr, nullptr, &descriptor) == ERROR_SUCCESS;
    if (read && owner) {
        system = IsWellKnownSid(owner, WinLocalSystemSid) ||
            IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
        HANDLE token = nullptr;
        if (OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
            DWORD size = 0;
            GetTokenInformation(token, TokenUser, nullptr, 0, &size);
            std::vector<char> buffer(size);
            if (size && GetTokenInformation(token, TokenUser, buffer.data(), size, &size))
                user = EqualSid(owner, reinterpret_cast<TOKEN_USER *>(buffer.data())->User.Sid);
            CloseHandle(token);
        }
    }
    if (descriptor)
        LocalFree(descriptor);
}

bool rename_to(HANDLE handle, HANDLE folder, const QString &target)
{
    // The native call: it takes the new name relative to the folder's
    // handle as it is (the Win32 wrapper may turn a relative name into a
    // path of the working directory first).
    const QString native = QDir::toNativeSeparators(target);
    const ULONG bytes = ULONG(native.size() * sizeof(WCHAR));
    std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + bytes + sizeof(WCHAR), 0);
    auto *info = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    info->ReplaceIfExists = TRUE;
    info->RootDirectory = folder;
    info->FileNameLength = bytes;
    memcpy(info->FileName, native.utf16(), bytes);
    IO_STATUS_BLOCK io {};
    return NtSetInformationFile(handle, &io, info, ULONG(buffer.size()),
                                FileRenameInformation) >= 0;
}

bool remove_open(HANDLE handle)
{
    // POSIX semantics free the name at once, even while others hold the
    // file open; older systems only know the plain flag.
    // (The names of Windows 10 1607 and later, spelt out: the headers
    // declare them only for builds that require that version.)
    constexpr auto DISPOSITION_INFO_EX = FILE_INFO_BY_HANDLE_CLASS(21);
    constexpr DWORD DELETE_FLAG = 0x1, POSIX_SEMANTICS = 0x2, IGNORE_READ_ONLY = 0x10;
    DWORD posix = DELETE_FLAG | POSIX_SEMANTICS | IGNORE_READ_ONLY;
    if (SetFileInformationByHandle(handle, DISPOSITION_INFO_EX, &posix, sizeof posix))
        return true;
    FILE_DISPOSITION_INFO plain {};
    plain.DeleteFile = TRUE;
    return SetFileInformationByHandle(handle, FileDispositionInfo, &plain, sizeof plain) != 0;
}

bool open_into(Handle handle, QFile &file, QIODevice::OpenMode mode)
{
    if (!handle.valid())
        return false;
    const int flags = (mode & QIODevice::Append ? _O_APPEND : 0) | _O_BINARY |
        (mode & QIODevice::WriteOnly ? (mode & QIODevice::ReadOnly ? _O_RDWR : _O_WRONLY)
                                     : _O_RDONLY);
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle.get()), flags);
    if (fd < 0)
        return false;
    handle.release(); // the descriptor owns it now
    if (!file.open(fd, mode, QFileDevice::AutoCloseHandle)) {
        _close(fd);
        return false;
    }
    return true;
}

std::unique_ptr<QFile> wrap(Handle handle, QIODevice::OpenMode mode)
{
    auto file = std::make_unique<QFile>();
    if (!open_into(std::move(handle), *file, mode | QIODevice::Unbuffered))
        return nullptr;
    return file;
}

bool is_missing(DWORD error)
{
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

} // namespace nt_file
