#pragma once

#include "previous_version.h"
#include "publish_options.h"
#include "release_scan.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>

class QThreadPool;

// What publishing one file did.
struct FileOutcome
{
    QString key;
    qint64 size = 0;
    QString error; // empty when the file was published
    QJsonObject entry; // its member of the manifest's "files"
    bool compressed = false; // false: the archive of an earlier output was reused
    qint64 archive_bytes = 0;
    int patches_made = 0;
    int patches_kept = 0; // taken over from an earlier output
    QStringList notes; // patches that were not made, and why
};

// Publishes one release file into the staging folder: its archive, its
// patches from the earlier versions and its manifest entry. Files are
// independent, so several may be published at once from different threads.
// Whatever is taken over from an earlier output is checked first; a damaged
// or missing part of an earlier output is an error (its history would be
// lost otherwise).
class FilePublisher
{
public:
    // out_dir: the staging folder the new tree is built in; scratch_dir:
    // room for temporary files on the same file system; compress_pool: the
    // threads that compress archive blocks, shared by all files;
    // bytes_done, when given, grows by the bytes of each file as they are
    // compressed (at once for a reused archive).
    FilePublisher(const PublishOptions &options, const QList<PreviousVersion> &previous,
                  const QString &out_dir, const QString &scratch_dir, QThreadPool *compress_pool,
                  std::atomic<qint64> *bytes_done = nullptr);

    FileOutcome publish(const ReleaseFile &file, int index) const;

private:
    // Links a checked archive of an earlier output with this content into
    // place; false when there is none.
    bool reuse_archive(const ReleaseFile &file, const QString &digest, FileOutcome *out) const;
    // Makes (or finds) the patch from version i, where the file has
    // source_hash; returns its name or "".
    QString patch_from(int i, const ReleaseFile &file, const QString &source_hash,
                       const QString &hash, FileOutcome *out, int index) const;
    QStringList keep_earlier_patches(const ReleaseFile &file, const QString &hash,
                                     const QStringList &added, FileOutcome *out) const;
    QString out_path(const QString &relative) const;

    const PublishOptions &options;
    const QList<PreviousVersion> &previous;
    const QString out_dir;
    const QString scratch_dir;
    QThreadPool *const compress_pool;
    std::atomic<qint64> *const bytes_done;
};
