#include "download/extraction_task.h"

#include "app/constants.h"
#include "download/growing_file_source.h"

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

bool ExtractionTask::start(qint64 complete)
{
    source = std::make_shared<GrowingFileSource>(archive_path, complete);
    if (!source->open())
        return false;
    const std::shared_ptr<GrowingFileSource> input = source;
    const ExtractTarget into = target;
    watcher = std::make_unique<QFutureWatcher<ExtractOutcome>>();
    connect(watcher.get(), &QFutureWatcher<ExtractOutcome>::finished, this, &ExtractionTask::ended);
    watcher->setFuture(
        QtConcurrent::run([input, into] { return extract_to_target(*input, into); }));
    return true;
}

void ExtractionTask::start_from_memory(const QByteArray &archive)
{
    source.reset();
    const ExtractTarget into = target;
    watcher = std::make_unique<QFutureWatcher<ExtractOutcome>>();
    connect(watcher.get(), &QFutureWatcher<ExtractOutcome>::finished, this, &ExtractionTask::ended);
    watcher->setFuture(
        QtConcurrent::run([archive, into] { return extract_memory_to_target(archive, into); }));
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
    if (!watcher)
        return;
    if (source)
        source->cancel();
    watcher->waitForFinished();
    watcher.reset();
}

ExtractOutcome ExtractionTask::wait_for_outcome()
{
    if (!watcher)
        return {CODE_OPEN_READ_FAILED, TEXT_OPEN_READ_FAILED};
    if (!watcher->isFinished()) {
        QEventLoop loop;
        connect(watcher.get(), &QFutureWatcher<ExtractOutcome>::finished, &loop, &QEventLoop::quit);
        if (!watcher->isFinished())
            loop.exec();
    }
    const ExtractOutcome outcome = watcher->result();
    watcher.reset();
    return outcome;
}
