#include "file_view.h"

#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include "windows_path.h"

#include <io.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

// The few calls that differ between the systems, each in one place.
int open_for_reading(const char *path)
{
#ifdef _WIN32
    return ::_wopen(windows_path(path).c_str(), _O_RDONLY | _O_BINARY);
#else
    return ::open(path, O_RDONLY | O_CLOEXEC);
#endif
}

long long read_some(int fd, char *to, std::size_t size)
{
#ifdef _WIN32
    return ::_read(fd, to, unsigned(size < (1u << 30) ? size : (1u << 30)));
#else
    return ::read(fd, to, size);
#endif
}

void close_file(int fd)
{
#ifdef _WIN32
    ::_close(fd);
#else
    ::close(fd);
#endif
}

bool file_size(int fd, std::size_t *size)
{
#ifdef _WIN32
    struct _stat64 st;
    const bool ok = ::_fstat64(fd, &st) == 0;
#else
    struct stat st;
    const bool ok = ::fstat(fd, &st) == 0;
#endif
    if (!ok || st.st_size < 0)
        return false;
    *size = std::size_t(st.st_size);
    return true;
}

} // namespace

bool FileView::open(const char *path)
{
    close();
    const int fd = open_for_reading(path);
    if (fd < 0)
        return false;
    std::size_t size = 0;
    if (!file_size(fd, &size)) {
        close_file(fd);
        return false;
    }
#ifndef _WIN32
    if (size > 0) {
        void *view = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (view != MAP_FAILED) {
            close_file(fd); // the mapping stays
            bytes = static_cast<const char *>(view);
            length = size;
            mapped = true;
            return true;
        }
    }
#endif
    // Read whole: a file that changes size meanwhile gives what was there.
    copy.resize(size);
    std::size_t filled = 0;
    while (filled < size) {
        const long long count = read_some(fd, copy.data() + filled, size - filled);
        if (count <= 0)
            break;
        filled += std::size_t(count);
    }
    close_file(fd);
    if (filled != size) {
        copy.clear();
        return false;
    }
    bytes = copy.data();
    length = size;
    return true;
}

void FileView::close()
{
#ifndef _WIN32
    if (mapped)
        ::munmap(const_cast<char *>(bytes), length);
#endif
    mapped = false;
    copy.clear();
    copy.shrink_to_fit();
    bytes = nullptr;
    length = 0;
}
