#pragma once

#include <cstddef>
#include <vector>

// A read-only view of a whole file, mapped where the system allows it and
// read into memory otherwise. An empty file is a valid empty view. Paths are
// in the system's own encoding, as a program receives them; on Windows in
// UTF-8.
class FileView
{
public:
    FileView() = default;
    ~FileView() { close(); }
    FileView(const FileView &) = delete;
    FileView &operator=(const FileView &) = delete;

    bool open(const char *path);
    // Releases the view (a mapped file cannot be replaced on every platform).
    void close();
    const char *data() const { return bytes; }
    std::size_t size() const { return length; }

private:
    std::vector<char> copy;
    const char *bytes = nullptr;
    std::size_t length = 0;
    bool mapped = false;
};
