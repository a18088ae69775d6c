#pragma once

#include <QString>

// Bytes this user may still write on the volume that holds `path` (a file or
// folder that exists), asked of the system directly: statvfs on POSIX
// systems, GetDiskFreeSpaceExW on Windows (quotas included). -1 when the
// system cannot tell.
qint64 free_space(const QString &path);
