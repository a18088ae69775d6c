#pragma once

#include "byte_source.h"

#include <QFile>
#include <QMutex>
#include <QString>
#include <QWaitCondition>

// Reads a file that a transfer is still appending to, so that decoding can
// run while the bytes arrive. The writer tells how far the file is complete
// (grow), that nothing more will come (finish), or that the reading must
// stop (cancel); read() waits for whichever comes first.
class GrowingFileSource : public ByteSource
{
public:
    // `complete` bytes of the file at path are already there.
    GrowingFileSource(const QString &path, qint64 complete);

    bool open();
    qint64 read(char *data, qint64 max) override;

    // Writer side, any thread.
    void grow(qint64 complete);
    void finish();
    void cancel();
    bool cancelled() const;

private:
    QFile file;
    mutable QMutex mutex;
    QWaitCondition changed;
    qint64 available;
    qint64 position = 0;
    bool finished = false;
    bool stopped = false;
};
