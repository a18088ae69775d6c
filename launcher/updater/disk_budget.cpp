#include "updater/disk_budget.h"

bool DiskBudget::fits(const QMap<QString, qint64> &peak) const
{
    if (!limited() || held.isEmpty())
        return true;
    for (auto need = peak.cbegin(); need != peak.cend(); ++need) {
        const auto available = room.constFind(need.key());
        if (available == room.constEnd())
            continue;
        qint64 total = need.value();
        for (const QMap<QString, qint64> &step : held)
            total += step.value(need.key());
        if (total > *available)
            return false;
    }
    return true;
}

void DiskBudget::hold(const void *key, const QMap<QString, qint64> &peak)
{
    if (limited())
        held.insert(key, peak);
}

void DiskBudget::clear()
{
    room.clear();
    held.clear();
}
