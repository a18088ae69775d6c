#include "install/growing_file_source.h"

#include "files/safe_file.h"

#include <QMutexLocker>

GrowingFileSource::GrowingFileSource(const QString &path, qint64 complete)
    : file(path), available(complete)
{
}

bool GrowingFileSource::open()
{
    return safe_file::open_shared_for_reading(file);
}

qint64 GrowingFileSource::read(char *data, qint64 max)
{
    qint64 ready = 0;
    {
        QMutexLocker lock(&mutex);
        while (!stopped && !finished && position >= available)
            changed.wait(&mutex);
        if (stopped)
            return -1;
        ready = available - position;
        if (ready <= 0)
            return 0; // finished, and everything has been read
    }
    const qint64 got = file.read(data, qMin(max, ready));
    if (got <= 0)
        return -1; // the file is shorter than the writer said: a read error
    position += got;
    return got;
}

void GrowingFileSource::grow(qint64 complete)
{
    QMutexLocker lock(&mutex);
    available = complete;
    changed.wakeAll();
}

void GrowingFileSource::finish()
{
    QMutexLocker lock(&mutex);
    finished = true;
    changed.wakeAll();
}

void GrowingFileSource::cancel()
{
    QMutexLocker lock(&mutex);
    stopped = true;
    changed.wakeAll();
}

bool GrowingFileSource::cancelled() const
{
    QMutexLocker lock(&mutex);
    return stopped;
}
