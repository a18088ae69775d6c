#include "system_file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace system_file {

std::vector<std::string> program_arguments(int argc, char **argv)
{
    return std::vector<std::string>(argv, argv + argc);
}

int open_for_reading(const char *path)
{
    return ::open(path, O_RDONLY | O_CLOEXEC);
}

long long read_some(int fd, char *to, std::size_t size)
{
    for (;;) {
        const ssize_t count = ::read(fd, to, size);
        if (count >= 0 || errno != EINTR)
            return count;
    }
}

bool write_all(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
        const ssize_t count = ::write(fd, data, size);
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
    return ::close(fd) == 0;
}

bool file_size(int fd, std::size_t *size)
{
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_size < 0)
        return false;
    *size = std::size_t(st.st_size);
    return true;
}

const char *map_file(int fd, std::size_t size)
{
    void *view = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    return view == MAP_FAILED ? nullptr : static_cast<const char *>(view);
}

void unmap_file(const char *view, std::size_t size)
{
    ::munmap(const_cast<char *>(view), size);
}

int create_temporary(const std::string &beside, std::string *path)
{
    std::string pattern = beside + ".XXXXXX";
    const int fd = ::mkstemp(&pattern[0]);
    *path = pattern;
    return fd;
}

void copy_permissions(int fd, const std::string &from)
{
    struct stat st;
    if (::stat(from.c_str(), &st) == 0)
        ::fchmod(fd, st.st_mode & 07777);
}

bool replace_file(const std::string &source, const std::string &target)
{
    return std::rename(source.c_str(), target.c_str()) == 0;
}

void remove_file(const std::string &path)
{
    std::remove(path.c_str());
}

bool is_out_of_space(int error)
{
    return error == ENOSPC
#ifdef EDQUOT
        || error == EDQUOT
#endif
        ;
}

} // namespace system_file
