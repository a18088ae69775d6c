#include "transfer/download_spool.h"

#include "files/free_space.h"
#include "files/safe_file.h"

#include <QFile>
#include <QFileInfo>

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

UpdateFailure DownloadSpool::refusal(const QString &name, const QString &written_name) const
{
    if (no_space)
        return {UpdateFault::DiskFull, name, QString()};
    if (failed_create)
        return {UpdateFault::CannotWrite, name, QString()};
    return {UpdateFault::ShortWrite, written_name, QString()};
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
        no_space = no_room_for(buffer.size());
        return false;
    }
    const QByteArray held = buffer;
    adopt(std::move(created));
    return write_to_file(held.constData(), held.size()) == held.size();
}

// A write that stops short is tried on with the rest: only a write that
// takes nothing tells why (the disk being full is a resource error).
qint64 DownloadSpool::write_to_file(const char *data, qint64 size)
{
    qint64 done = 0;
    while (done < size) {
        const qint64 written = file->write(data + done, size - done);
        if (written <= 0) {
            no_space = file->error() == QFileDevice::ResourceError || no_room_for(size - done);
            return -1;
        }
        done += written;
    }
    return done;
}

// Where the platform does not tell a full disk by its error: the free space.
bool DownloadSpool::no_room_for(qint64 size) const
{
    const qint64 available = free_space(QFileInfo(path).absolutePath());
    return available >= 0 && available < size;
}

qint64 DownloadSpool::writeData(const char *data, qint64 size)
{
    if (!file && spill_size >= 0 && buffer.size() + size >= spill_size && !spill())
        return -1;
    if (file)
        return write_to_file(data, size);
    buffer.append(data, int(size));
    return size;
}
