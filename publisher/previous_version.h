#pragma once

#include <QHash>
#include <QString>
#include <QStringList>

// An earlier version of the game, given to the publisher either as its
// earlier output (manifest, archives, patches) or as its release folder.
class PreviousVersion
{
public:
    // Reads dir: an output when it holds a manifest with a "files" object,
    // otherwise a release folder.
    bool load(const QString &dir, QString *error);

    bool is_output() const { return output; }
    // The manifest's "sequence" of an output; -1 when it gives none.
    qint64 sequence() const { return manifest_sequence; }
    QString folder() const { return root; }

    // Hash text of the file in this version, "" when it has none. For a
    // release folder the file is read each time.
    QString hash(const QString &key) const;
    // Patches the manifest lists for the file (outputs only).
    QStringList patches(const QString &key) const;
    // The published archive of the file, "" when there is none.
    QString archive_path(const QString &key) const;
    // The published patch file of that name, "" when there is none.
    QString patch_path(const QString &name) const;

    // A file on disk with the file's content in this version: the file itself
    // for a release folder; for an output its archive, extracted to
    // scratch_path and checked against the manifest's hash text.
    QString content_path(const QString &key, const QString &scratch_path, QString *error) const;

private:
    struct Entry
    {
        QString hash;
        QStringList patches;
    };

    QString root;
    bool output = false;
    qint64 manifest_sequence = -1;
    QHash<QString, Entry> entries;
};
