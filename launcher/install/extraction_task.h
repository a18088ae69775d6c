#pragma once

#include "install/archive_extractor.h"

#include <QFuture>
#include <QObject>

#include <functional>
#include <memory>

class GrowingFileSource;

// The extraction of one archive on the global thread pool, reading the
// archive while the transfer still appends to it, or from memory. The
// transfer tells how much of the archive is on disk (grow) and when it is
// complete (finish).
class ExtractionTask : public QObject
{
    Q_OBJECT

public:
    ExtractionTask(const QString &archive_path, const ExtractTarget &target);
    ~ExtractionTask() override; // stops the task and waits for it

    // Starts decoding with `complete` bytes of the archive on disk.
    bool start(qint64 complete);
    // Starts decoding an archive that arrived whole in memory (nothing is
    // read from the archive's path).
    void start_from_memory(const QByteArray &archive);
    void grow(qint64 complete);
    void finish();
    // Stops the task and waits until it has let go of the files.
    void stop();
    // Whether a decoding was started and not stopped (it may have ended).
    bool started() const { return running; }
    // Whether the decoding has come to its end (its signal may be on its way,
    // or told already while the pool thread was still returning).
    bool has_ended() const { return running && (delivered || future.isFinished()); }
    // Waits in a local event loop until the task is over; its outcome.
    ExtractOutcome wait_for_outcome();

signals:
    // The task is over (on the thread that owns this object). Before
    // finish() this means the decoding failed or the data ended early.
    void ended();

private:
    void launch(const std::function<ExtractOutcome()> &work);
    void deliver(quint64 run, const ExtractOutcome &outcome);

    const QString archive_path;
    const ExtractTarget target;
    std::shared_ptr<GrowingFileSource> source;
    QFuture<void> future;
    bool running = false;
    // Numbers the starts: the outcome of a stopped run is ignored.
    quint64 generation = 0;
    bool delivered = false;
    ExtractOutcome outcome;
};
