#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstddef>

// A read-only view of a whole file, mapped when the file system allows it and
// read into memory otherwise. An empty file is a valid empty view.
class FileView
{
public:
    bool open(const QString &path);
    // Releases the view (a mapped file cannot be replaced on every platform).
    void close();

    const char *data() const { return bytes; }
    std::size_t size() const { return length; }

private:
    QFile file;
    QByteArray copy;
    const char *bytes = nullptr;
    std::size_t length = 0;
};
