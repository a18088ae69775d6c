#include "files/safe_file.h"

#include "files/nt_file.h"

#include <QFile>

#include <io.h>

namespace safe_file {

namespace {

// What stands at path itself, a link not followed.
nt_file::Handle open_entry(const QString &path, ACCESS_MASK access, DWORD *error = nullptr)
{
    return nt_file::open_path(path, access | FILE_READ_ATTRIBUTES, nt_file::SHARE_ALL,
                              OPEN_EXISTING,
                              FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, error);
}

bool plain_file(HANDLE handle, nt_file::Facts &facts)
{
    return nt_file::facts_of(handle, facts) && facts.is_plain_file();
}

} // namespace

std::unique_ptr<QFile> open_for_append(const QString &path)
{
    nt_file::Handle at = open_entry(path, FILE_APPEND_DATA | SYNCHRONIZE);
    nt_file::Facts facts;
    if (!at.valid() || !plain_file(at.get(), facts) || facts.links != 1)
        return nullptr;
    return nt_file::wrap(std::move(at), QIODevice::WriteOnly | QIODevice::Append);
}

bool open_shared_for_reading(QFile &file)
{
    return nt_file::open_into(nt_file::open_path(file.fileName(), GENERIC_READ, nt_file::SHARE_ALL,
                                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL),
                              file, QIODevice::ReadOnly | QIODevice::Unbuffered);
}

qint64 plain_file_size(const QString &path)
{
    const nt_file::Handle at = open_entry(path, 0);
    nt_file::Facts facts;
    return at.valid() && plain_file(at.get(), facts) ? facts.identity.size : -1;
}

bool is_plain_directory(const QString &path)
{
    const nt_file::Handle at = open_entry(path, 0);
    nt_file::Facts facts;
    return at.valid() && nt_file::facts_of(at.get(), facts) && facts.is_directory() &&
        !(facts.attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool entry_exists(const QString &path)
{
    DWORD error = 0;
    const nt_file::Handle at = open_entry(path, 0, &error);
    return at.valid() || !nt_file::is_missing(error);
}

bool write_all(QFile &file, const char *data, qint64 size)
{
    const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(file.handle()));
    while (size > 0) {
        const DWORD chunk = DWORD(qMin<qint64>(size, 1 << 30));
        DWORD written = 0;
        if (!WriteFile(handle, data, chunk, &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

bool failed_for_space()
{
    const DWORD error = GetLastError();
    return error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL;
}

} // namespace safe_file
