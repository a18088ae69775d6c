#include "files/plain_file.h"

#include "files/nt_file.h"

#include <QFile>

namespace plain_file {

bool open_for_reading(const QString &path, QFile &file)
{
    nt_file::Handle handle = nt_file::open_path(
        path, GENERIC_READ, nt_file::SHARE_ALL, OPEN_EXISTING,
        FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS);
    nt_file::Facts facts;
    return handle.valid() && nt_file::facts_of(handle.get(), facts) &&
        GetFileType(handle.get()) == FILE_TYPE_DISK && facts.is_plain_file() &&
        nt_file::open_into(std::move(handle), file, QIODevice::ReadOnly);
}

} // namespace plain_file
