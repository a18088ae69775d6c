#include "install/extraction_task.h"

#include "install/growing_file_source.h"

#include <QEventLoop>
#include <QtConcurrent/QtConcurrentRun>

ExtractionTask::ExtractionTask(const QString &archive_path, const ExtractTarget &target)
    : archive_path(archive_path), target(target)
{
}

ExtractionTask::~ExtractionTask()
{
    stop();
}

// The outcome comes back as a queued call: the pool thread posts it before
// its task ends, and stop() waits for that end, so this object outlives
// the post (a call still queued when it is deleted is dropped with it).
void ExtractionTask::launch(const std::function<ExtractOutcome()> &work)
{
    const quint64 run = ++generation;
    delivered = false;
    running = true;
    future = QtConcurrent::run([this, run, work] {
        const ExtractOutcome result = work();
        QMetaObject::invokeMethod(
            this, [this, run, result] { deliver(run, result); }, Qt::QueuedConnection);
    });
}

void ExtractionTask::deliver(quint64 run, const ExtractOutcome &result)
{
    if (run != generation || !running)
        return;
    outcome = result;
    delivered = true;
    source.reset();
    emit ended();
}

bool ExtractionTask::start(qint64 complete)
{
    source = std::make_shared<GrowingFileSource>(archive_path, complete);
    if (!source->open())
        return false;
    std::shared_ptr<GrowingFileSource> input = source;
    const ExtractTarget into = target;
    // The archive is closed on the pool thread as soon as it is decoded, and
    // here once the outcome arrives: whoever removes it after the outcome
    // finds it closed (Windows keeps the name of an open file it removes).
    launch([input, into]() mutable {
        const ExtractOutcome result = extract_to_target(*input, into);
        input.reset();
        return result;
    });
    return true;
}

void ExtractionTask::start_from_memory(const QByteArray &archive)
{
    source.reset();
    const ExtractTarget into = target;
    launch([archive, into] { return extract_memory_to_target(archive, into); });
}

void ExtractionTask::grow(qint64 complete)
{
    if (source)
        source->grow(complete);
}

void ExtractionTask::finish()
{
    if (source)
        source->finish();
}

void ExtractionTask::stop()
{
    if (!running)
        return;
    if (source)
        source->cancel();
    future.waitForFinished();
    running = false;
    ++generation;
}

ExtractOutcome ExtractionTask::wait_for_outcome()
{
    if (!running)
        return {UpdateFault::CannotRead, QString(), QString()};
    if (!delivered) {
        QEventLoop loop;
        connect(this, &ExtractionTask::ended, &loop, &QEventLoop::quit);
        loop.exec();
    }
    running = false;
    ++generation;
    return outcome;
}
