#pragma once

#include <QHash>
#include <QMap>
#include <QString>

// What the steps under way may hold on each volume at once, when the disk is
// too small for as many steps as could run: per volume, the free space less
// the run's growth. A step holds its peak (DiskNeed::step_peak) from its
// start until its file is installed or given up; another step starts only
// while its own peak fits beside those held. The first step always fits:
// the check before the run made sure that one step at a time does.
class DiskBudget
{
public:
    // Bytes per volume root; an empty map sets no limit.
    void set_room(const QMap<QString, qint64> &room_per_volume) { room = room_per_volume; }
    bool limited() const { return !room.isEmpty(); }
    // Whether a step holding `peak` may start now.
    bool fits(const QMap<QString, qint64> &peak) const;
    // The step `key` holds `peak` from now (replacing what it held).
    void hold(const void *key, const QMap<QString, qint64> &peak);
    void release(const void *key) { held.remove(key); }
    // No limit and nothing held.
    void clear();

private:
    QMap<QString, qint64> room;
    QHash<const void *, QMap<QString, qint64>> held;
};
