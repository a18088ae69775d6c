#pragma once

#include <QObject>

#include <memory>
#include <vector>

class WholeFileDownload;

// Files whose archive has arrived whole, still decoding, checking and
// installing while the next transfers run. Each tells its own outcome (see
// FileDownload); the backlog keeps them alive until then and bounds them:
// archives in memory may pile up to a few dozen within a few MiB, archives
// on disk to two, so that memory and the scratch folder stay bounded.
//
// The extractions share the cores. With only the two archives on disk, the
// next transfer starts when one of them is done, and a core waits for it.
// Small files therefore keep their archive in memory when the disk's share
// is taken (has_memory_room), so that whole archives are always waiting for
// a core.
class ExtractionBacklog : public QObject
{
    Q_OBJECT

public:
    // `max_on_disk`: archives on disk whose extraction may run at once.
    explicit ExtractionBacklog(int max_on_disk, QObject *parent = nullptr);
    ~ExtractionBacklog() override; // stops every extraction and waits for them

    // Keeps a file whose transfer was handed on until release().
    void adopt(std::unique_ptr<WholeFileDownload> file);
    // Gives back a file that has told its outcome (null if not held here).
    std::unique_ptr<WholeFileDownload> release(WholeFileDownload *file);
    // Whether another file may be adopted now.
    bool has_room() const;
    // Whether another file may be adopted now with its archive held in memory.
    bool has_memory_room() const;
    bool empty() const { return files.empty(); }
    // Stops every extraction, without any further signal: their files stay
    // as they were.
    void stop_all();

private:
    std::vector<std::unique_ptr<WholeFileDownload>> files;
    const int max_on_disk;
};
