#include "system_file.h"

#include "windows_path.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>

namespace system_file {

std::vector<std::string> program_arguments(int, char **)
{
    // The narrow arguments are in the system's code page; the wide command
    // line holds every name as it is.
    return windows_arguments();
}

int open_for_reading(const char *path)
{
    return ::_wopen(windows_path(path).c_str(), _O_RDONLY | _O_BINARY);
}

long long read_some(int fd, char *to, std::size_t size)
{
    return ::_read(fd, to, unsigned(size < (1u << 30) ? size : (1u << 30)));
}

bool write_all(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const int count = ::_write(fd, data, unsigned(size < (1u << 30) ? size : (1u << 30)));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        data += count;
        size -= std::size_t(count);
    }
    return true;
}

bool close_file(int fd)
{
    return ::_close(fd) == 0;
}

bool file_size(int fd, std::size_t *size)
{
    struct _stat64 st;
    if (::_fstat64(fd, &st) != 0 || st.st_size < 0)
        return false;
    *size = std::size_t(st.st_size);
    return true;
}

// A mapped file cannot be replaced while the view is open: the file is read.
const char *map_file(int, std::size_t)
{
    return nullptr;
}

void unmap_file(const char *, std::size_t) { }

int create_temporary(const std::string &beside, std::string *path)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08lx",
                      (GetTickCount() * 2654435761u + unsigned(attempt)) & 0xffffffffu);
        *path = beside + suffix;
        const int fd = ::_wopen(windows_path(*path).c_str(),
                                _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
}

void copy_permissions(int, const std::string &) { }

bool replace_file(const std::string &source, const std::string &target)
{
    if (MoveFileExW(windows_path(source).c_str(), windows_path(target).c_str(),
                    MOVEFILE_REPLACE_EXISTING) != 0)
        return true;
    errno = GetLastError() == ERROR_DISK_FULL ? ENOSPC : EACCES;
    return false;
}

void remove_file(const std::string &path)
{
    ::_wremove(windows_path(path).c_str());
}

bool is_out_of_space(int error)
{
    return error == ENOSPC;
}

} // namespace system_file
