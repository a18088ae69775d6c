#pragma once

#include "previous_version.h"
#include "publish_options.h"
#include "release_scan.h"

#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

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

// Publishes one release file into the output folder: its archive, its patches
// from the earlier versions and its manifest entry. Files are independent, so
// several may be published at once from different threads.
class FilePublisher
{
public:
    FilePublisher(const PublishOptions &options, const QList<PreviousVersion> &previous,
                  const QString &scratch_dir);

    FileOutcome publish(const ReleaseFile &file, int index) const;

private:
    // Puts the archive under a temporary name beside its place; returns that
    // name or "" after an error.
    QString prepare_archive(const ReleaseFile &file, const QString &hash, FileOutcome *out) const;
    // Makes (or finds) the patch from version i, where the file has
    // source_hash; returns its name or "".
    QString patch_from(int i, const ReleaseFile &file, const QString &source_hash,
                       const QString &hash, const QString &archive, FileOutcome *out,
                       int index) const;
    QStringList keep_earlier_patches(const ReleaseFile &file, const QString &hash,
                                     const QStringList &added, FileOutcome *out) const;
    QString out_path(const QString &relative) const;

    const PublishOptions &options;
    const QList<PreviousVersion> &previous;
    const QString scratch_dir;
};
