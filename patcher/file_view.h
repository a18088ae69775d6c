#pragma once

#include <cstddef>
#include <vector>

// A read-only view of a whole file, mapped where the system allows it and
// read into memory otherwise. An empty file is a valid empty view. Paths are
// in the system's own encoding, as a program receives them. A private view
// may be written to and the file stays as it is: the mapping is
// copy-on-write, so only the pages written to are copied.
class FileView
{
public:
    FileView() = default;
    ~FileView() { close(); }
    FileView(const FileView &) = delete;
    FileView &operator=(const FileView &) = delete;

    bool open(const char *path, bool writable = false);
    // Releases the view (a mapped file cannot be replaced on every platform).
    void close();
    const char *data() const { return bytes; }
    // The bytes of a view opened writable.
    char *writable_data() const { return const_cast<char *>(bytes); }
    std::size_t size() const { return length; }

private:
    std::vector<char> copy;
    const char *bytes = nullptr;
    std::size_t length = 0;
    bool mapped = false;
};
