#include "files/free_space.h"

#include "atomic_file.h"

#include <windows.h>

qint64 free_space(const QString &path)
{
    ULARGE_INTEGER available {};
    if (!GetDiskFreeSpaceExW(atomic_file::windows_path(path).c_str(), &available, nullptr,
                             nullptr))
        return -1;
    return qint64(available.QuadPart);
}
