#include "install/extraction_backlog.h"

#include "app/constants.h"
#include "files/scratch_area.h"
#include "install/extraction_task.h"

#include <algorithm>

namespace {

// A step starts only while there is room, and adds its own extraction when
// its transfer ends. Small archives are a few dozen KiB at most: this many
// keep both cores busy with files of a few KiB while requests go out. Of the
// large ones, one decodes its tail while the next one arrives and decodes.
constexpr int MAX_IN_MEMORY = 32;

} // namespace

ExtractionBacklog::ExtractionBacklog(QObject *parent) : QObject(parent) { }

ExtractionBacklog::~ExtractionBacklog()
{
    stop_all();
}

void ExtractionBacklog::adopt(std::unique_ptr<ExtractionTask> task, const QString &file_path,
                              bool on_disk, int refetch_level)
{
    // Queued: the outcome is taken once the task's own signal is over.
    const quint64 id = ++last_id;
    connect(
        task.get(), &ExtractionTask::ended, this, [this, id] { ended(id); }, Qt::QueuedConnection);
    // One that ended just now may have sent its signal already.
    if (task->has_ended())
        QMetaObject::invokeMethod(
            this, [this, id] { ended(id); }, Qt::QueuedConnection);
    tasks.push_back({id, std::move(task), file_path, on_disk, refetch_level});
}

bool ExtractionBacklog::has_room() const
{
    int in_memory = 0;
    int on_disk = 0;
    for (const Entry &entry : tasks)
        ++(entry.on_disk ? on_disk : in_memory);
    return in_memory < MAX_IN_MEMORY && on_disk < MAX_ON_DISK;
}

void ExtractionBacklog::stop_all()
{
    for (Entry &entry : tasks) {
        disconnect(entry.task.get(), nullptr, this, nullptr);
        entry.task->stop();
    }
    tasks.clear();
}

void ExtractionBacklog::ended(quint64 id)
{
    auto it = std::find_if(tasks.begin(), tasks.end(),
                           [id](const Entry &entry) { return entry.id == id; });
    if (it == tasks.end())
        return; // stopped meanwhile
    const ExtractOutcome outcome = it->task->wait_for_outcome();
    if (it->on_disk)
        ScratchArea::drop_partial(it->file_path);
    const QString file_path = it->file_path;
    const int refetch_level = it->refetch_level;
    tasks.erase(it);
    if (outcome.code == CODE_FILE_DAMAGED && refetch_level > 0) {
        emit refetch(file_path, refetch_level);
    } else if (outcome.code != 0 && !reported) {
        reported = true;
        emit failed(outcome.code, outcome.text);
    }
    emit changed();
}
