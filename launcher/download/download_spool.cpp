#include "download/download_spool.h"

#include "download/safe_file.h"

#include <QFile>

DownloadSpool::DownloadSpool(const QString &path, qint64 spill_size)
    : path(path), spill_size(spill_size)
{
    open(QIODevice::WriteOnly | QIODevice::Unbuffered);
}

DownloadSpool::~DownloadSpool() = default;

void DownloadSpool::adopt(std::unique_ptr<QFile> adopted)
{
    file = std::move(adopted);
    buffer.clear();
}

bool DownloadSpool::clear()
{
    buffer.clear();
    return !file || (file->resize(0) && file->seek(0));
}

void DownloadSpool::close_file()
{
    file.reset();
}

qint64 DownloadSpool::size() const
{
    return file ? file->size() : buffer.size();
}

qint64 DownloadSpool::readData(char *, qint64)
{
    return -1;
}

// Moves what memory holds into a new file.
bool DownloadSpool::spill()
{
    std::unique_ptr<QFile> created = safe_file::create_new(path);
    if (!created) {
        failed_create = true;
        return false;
    }
    if (created->write(buffer) != buffer.size())
        return false;
    adopt(std::move(created));
    return true;
}

qint64 DownloadSpool::writeData(const char *data, qint64 size)
{
    if (!file && spill_size >= 0 && buffer.size() + size >= spill_size && !spill())
        return -1;
    if (file)
        return file->write(data, size);
    buffer.append(data, int(size));
    return size;
}
