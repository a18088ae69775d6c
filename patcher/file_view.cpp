#include "file_view.h"

#include "system_file.h"

bool FileView::open(const char *path)
{
    close();
    const int fd = system_file::open_for_reading(path);
    if (fd < 0)
        return false;
    std::size_t size = 0;
    if (!system_file::file_size(fd, &size)) {
        system_file::close_file(fd);
        return false;
    }
    if (size > 0) {
        if (const char *view = system_file::map_file(fd, size)) {
            system_file::close_file(fd); // the mapping stays
            bytes = view;
            length = size;
            mapped = true;
            return true;
        }
    }
    // Read whole: a file that changes size meanwhile gives what was there.
    copy.resize(size);
    std::size_t filled = 0;
    while (filled < size) {
        const long long count = system_file::read_some(fd, copy.data() + filled, size - filled);
        if (count <= 0)
            break;
        filled += std::size_t(count);
    }
    system_file::close_file(fd);
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
    if (mapped)
        system_file::unmap_file(bytes, length);
    mapped = false;
    copy.clear();
    copy.shrink_to_fit();
    bytes = nullptr;
    length = 0;
}
