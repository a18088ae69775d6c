#include "install/file_download.h"

#include "install/archive_sink.h"
#include "transfer/file_sink.h"

#include <QDir>

namespace {

std::unique_ptr<TransferSink> make_sink(const QString &url, const QString &file_path,
                                        bool compressed, bool may_hand_on)
{
    if (compressed)
        return std::make_unique<ArchiveSink>(GameFolder(QDir::currentPath()), url, file_path,
                                             may_hand_on);
    return std::make_unique<FileSink>(file_path);
}

} // namespace

FileDownload::FileDownload(const QString &url, const QString &file_path, bool compressed,
                           bool may_hand_on, RequestPrefetcher *prefetcher)
    : FileDownload(make_sink(url, file_path, compressed, may_hand_on), url, prefetcher)
{
}

// The sink is made before the Downloader that writes into it, and lives as
// long as this object.
FileDownload::FileDownload(std::unique_ptr<TransferSink> made, const QString &url,
                           RequestPrefetcher *prefetcher)
    : Downloader(url, *made, prefetcher)
    , sink(std::move(made))
    , archive(qobject_cast<ArchiveSink *>(sink.get()))
    , plain(qobject_cast<FileSink *>(sink.get()))
{
    if (archive)
        connect(archive, &ArchiveSink::extracted, this, &FileDownload::extract_finished);
}

FileDownload::~FileDownload() = default;

void FileDownload::set_expected(const QString &hash, qint64 size, const QString &sha256)
{
    if (archive)
        archive->set_expected(hash, size, sha256);
}

void FileDownload::keep_archive_in_memory(qint64 largest_file)
{
    if (archive)
        archive->keep_in_memory(largest_file);
}

qint64 FileDownload::archive_in_memory() const
{
    return archive ? archive->archive_in_memory() : 0;
}

bool FileDownload::archive_on_disk() const
{
    return archive && archive->archive_on_disk();
}

void FileDownload::set_display_name(const QString &name)
{
    if (archive)
        archive->set_display_name(name);
    else
        plain->set_display_name(name);
}
