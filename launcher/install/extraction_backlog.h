#pragma once

#include <QObject>
#include <QString>

#include <memory>
#include <vector>

class ExtractionTask;

// Extractions whose archive has arrived whole, still decoding, checking and
// installing their file while the next transfers run. Small archives (held
// in memory) may pile up to a few dozen; archives on disk to two, so that
// memory and the scratch folder stay bounded. The first extraction that
// fails is reported once; the others carry on.
class ExtractionBacklog : public QObject
{
    Q_OBJECT

public:
    // Archives on disk whose extraction may run at once with the transfer of
    // the next step (which adds one more).
    static constexpr int MAX_ON_DISK = 2;

    explicit ExtractionBacklog(QObject *parent = nullptr);
    ~ExtractionBacklog() override; // stops every extraction and waits for them

    // Takes over a started extraction whose archive is complete. When it ends
    // the partial archive of file_path is removed if it was on disk. A
    // refetch_level above 0: a result that is not the file (906) is no
    // failure, but reported by refetch() with that level.
    void adopt(std::unique_ptr<ExtractionTask> task, const QString &file_path, bool on_disk,
               int refetch_level = 0);
    // Whether another extraction may be adopted now.
    bool has_room() const;
    bool empty() const { return tasks.empty(); }
    // Stops every extraction: their files stay as they were.
    void stop_all();
    // A new run begins: its first failure is reported again.
    void start_run() { reported = false; }

signals:
    // An extraction failed: the code and text of its download_error.
    void failed(int code, const QString &text);
    // An extraction gave another file than the manifest's: file_path is to
    // be fetched again past caches, at the given level (see Downloader).
    void refetch(const QString &file_path, int level);
    // An extraction ended: there may be room now, or nothing left.
    void changed();

private:
    struct Entry
    {
        quint64 id = 0;
        std::unique_ptr<ExtractionTask> task;
        QString file_path;
        bool on_disk = false;
        int refetch_level = 0;
    };

    void ended(quint64 id);

    std::vector<Entry> tasks;
    quint64 last_id = 0;
    bool reported = false;
};
