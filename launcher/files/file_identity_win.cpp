#include "files/file_identity.h"

#include "files/nt_file.h"

#include <QFile>

#include <io.h>

namespace {

// The identity of the plain file open at handle; false for anything else.
bool identity_of(HANDLE handle, FileIdentity &identity)
{
    nt_file::Facts facts;
    if (!nt_file::facts_of(handle, facts) || GetFileType(handle) != FILE_TYPE_DISK ||
        facts.is_directory())
        return false;
    identity = facts.identity;
    return true;
}

} // namespace

bool FileIdentity::of_path(const QString &path, FileIdentity &identity)
{
    // Links followed, as reading follows them.
    const nt_file::Handle handle = nt_file::open_path(
        path, FILE_READ_ATTRIBUTES, nt_file::SHARE_ALL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS);
    return handle.valid() && identity_of(handle.get(), identity);
}

bool FileIdentity::of_open(QFile &file, FileIdentity &identity)
{
    return file.isOpen() &&
        identity_of(reinterpret_cast<HANDLE>(_get_osfhandle(file.handle())), identity);
}

qint64 FileIdentity::now_ns()
{
    FILETIME now {};
    GetSystemTimeAsFileTime(&now);
    return nt_file::unix_ns((qint64(now.dwHighDateTime) << 32) | now.dwLowDateTime);
}
