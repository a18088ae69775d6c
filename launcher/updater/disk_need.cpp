#include "updater/disk_need.h"

#include <algorithm>
#include <functional>

QMap<QString, qint64> DiskNeed::per_volume(const QVector<PlannedFile> &files,
                                           const QString &scratch_volume, int in_flight)
{
    QMap<QString, qint64> need;
    // What each step holds only while it runs, per volume.
    QMap<QString, QVector<qint64>> passing;
    for (const PlannedFile &file : files) {
        if (file.new_size < 0)
            continue;
        need[file.volume] += qMax<qint64>(file.new_size - file.old_size, 0);
        const QMap<QString, qint64> step = step_peak(file, scratch_volume);
        for (auto it = step.cbegin(); it != step.cend(); ++it)
            passing[it.key()].append(it.value());
    }
    // The steps under way at once are at most the in_flight largest ones.
    for (auto it = passing.begin(); it != passing.end(); ++it) {
        QVector<qint64> &sizes = it.value();
        std::sort(sizes.begin(), sizes.end(), std::greater<qint64>());
        for (int i = 0; i < sizes.size() && i < in_flight; ++i)
            need[it.key()] += sizes[i];
    }
    return need;
}

QMap<QString, qint64> DiskNeed::step_peak(const PlannedFile &file, const QString &scratch_volume,
                                          qint64 archive_bytes)
{
    QMap<QString, qint64> step;
    if (file.new_size < 0)
        return step;
    // Beside the old file, the new one holds what the growth does not count
    // already: the smaller of the two sizes.
    step[file.volume] += qMin(file.new_size, file.old_size);
    // A patched file's steps keep their result in the scratch area, beside
    // the result the next step is writing.
    if (file.patched)
        step[scratch_volume] += 2 * file.new_size;
    else
        step[scratch_volume] += archive_bytes < 0 ? file.new_size : archive_bytes;
    return step;
}
