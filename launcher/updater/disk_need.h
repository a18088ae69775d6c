#pragma once

#include <QMap>
#include <QString>
#include <QVector>

// What an update plan needs on each volume it writes to, counted before the
// first transfer. A volume needs the growth of the installation on it (for
// each file, its new size less the size of the file it replaces, never below
// zero) plus the most that exists only while steps run: for each step, its
// archive in the scratch folder and the new file beside the old one, for as
// many steps as can be under way at once. Only what is known counts: a file
// without a size in the manifest adds nothing, so an update is never refused
// on a guess.
class DiskNeed
{
public:
    struct PlannedFile
    {
        QString volume; // root of the volume the file's folder is on
        qint64 old_size = 0; // the file it replaces; 0 when there is none
        qint64 new_size = -1; // the manifest's size; < 0 when unknown
        bool patched = false; // planned as patches: no archive
    };

    // Bytes needed per volume root. Archives wait on `scratch_volume`; an
    // archive counts as large as its file (game data hardly compresses).
    // `in_flight`: how many steps can hold their archive and new file at once.
    // `in_flight` 0 gives the growth alone.
    static QMap<QString, qint64> per_volume(const QVector<PlannedFile> &files,
                                            const QString &scratch_volume, int in_flight);
    // What one step holds only while it runs, per volume: the new file
    // beside the old one, and its archive in the scratch folder, counted
    // `archive_bytes` large (< 0: as large as the file; 0: none on disk).
    static QMap<QString, qint64> step_peak(const PlannedFile &file, const QString &scratch_volume,
                                           qint64 archive_bytes = -1);
};
