#include "install/extraction_backlog.h"

#include "install/whole_file_download.h"

#include <algorithm>

namespace {

// A step starts only while there is room, and adds its own extraction when
// its transfer ends. Small archives are a few dozen KiB at most: this many
// keep both cores busy with files of a few KiB while requests go out. Of the
// large ones, one decodes its tail while the next one arrives and decodes.
constexpr int MAX_IN_MEMORY = 32;
// Archives of files up to 1 MiB held in memory beyond the disk's share are
// adopted only while those in memory hold less than this in all: a few dozen
// of a few hundred KiB keep both cores fed while the transfers run ahead.
constexpr qint64 MAX_MEMORY_BYTES = 8 << 20;

} // namespace

ExtractionBacklog::ExtractionBacklog(int max_on_disk, QObject *parent)
    : QObject(parent), max_on_disk(max_on_disk)
{
}

ExtractionBacklog::~ExtractionBacklog()
{
    stop_all();
}

void ExtractionBacklog::adopt(std::unique_ptr<WholeFileDownload> file)
{
    files.push_back(std::move(file));
}

std::unique_ptr<WholeFileDownload> ExtractionBacklog::release(WholeFileDownload *file)
{
    const auto it = std::find_if(files.begin(), files.end(),
                                 [file](const auto &held) { return held.get() == file; });
    if (it == files.end())
        return nullptr;
    std::unique_ptr<WholeFileDownload> released = std::move(*it);
    files.erase(it);
    return released;
}

bool ExtractionBacklog::has_room() const
{
    int in_memory = 0;
    int on_disk = 0;
    for (const auto &file : files)
        ++(file->archive_on_disk() ? on_disk : in_memory);
    return in_memory < MAX_IN_MEMORY && on_disk < max_on_disk;
}

bool ExtractionBacklog::has_memory_room() const
{
    int in_memory = 0;
    qint64 bytes = 0;
    for (const auto &file : files) {
        if (!file->archive_on_disk()) {
            ++in_memory;
            bytes += file->archive_in_memory();
        }
    }
    return in_memory < MAX_IN_MEMORY && bytes < MAX_MEMORY_BYTES;
}

// Deleting a file stops its extraction and waits for it; nothing it still
// had queued reaches anyone.
void ExtractionBacklog::stop_all()
{
    std::vector<std::unique_ptr<WholeFileDownload>> stopped;
    stopped.swap(files);
    for (auto &file : stopped)
        disconnect(file.get(), nullptr, nullptr, nullptr);
    stopped.clear();
}
