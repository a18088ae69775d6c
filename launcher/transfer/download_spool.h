#pragma once

#include "app/update_failure.h"

#include <QByteArray>
#include <QIODevice>
#include <QString>

#include <memory>

class QFile;

// Where the body of a transfer goes while it arrives. A compressed body
// stays in memory until it reaches `spill_size` bytes, and only then goes to
// its file: most game files are small, and a file created and removed for
// each of them costs more than their transfer. A body on disk can be
// continued by a later run; one in memory is simply fetched again.
class DownloadSpool : public QIODevice
{
public:
    // `spill_size` < 0: never written to disk (the caller hands a file to
    // adopt(), or reads the bytes from memory).
    DownloadSpool(const QString &path, qint64 spill_size);
    ~DownloadSpool() override;

    // Writes go to `file` from now on (a partial archive being continued, or
    // a file the caller created).
    void adopt(std::unique_ptr<QFile> file);
    // Before the first write: the body spills to disk only from `size` bytes on.
    void set_spill_size(qint64 size) { spill_size = size; }
    bool on_disk() const { return file != nullptr; }
    // The bytes received, while they are in memory.
    const QByteArray &memory() const { return buffer; }
    // Why a write failed: the disk is full, the file could not be created
    // when the body outgrew memory, or a write stopped short. `name` is the
    // file's name for the player, `written_name` that of what was being
    // written.
    UpdateFailure refusal(const QString &name, const QString &written_name) const;
    // Drops everything received; a file on disk is emptied, not replaced.
    bool clear();
    // Lets go of the file (closing it) so that it can be removed or reread.
    void close_file();

    qint64 size() const override;
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *data, qint64 max) override;
    qint64 writeData(const char *data, qint64 size) override;

private:
    bool spill();
    // Writes all of data to the file; -1 when any of it could not be written.
    qint64 write_to_file(const char *data, qint64 size);
    bool no_room_for(qint64 size) const;

    const QString path;
    qint64 spill_size;
    QByteArray buffer;
    std::unique_ptr<QFile> file;
    bool failed_create = false;
    bool no_space = false;
};
