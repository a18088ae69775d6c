#include "publish_text.h"

#include <cmath>

QString count_text(qint64 n, const QString &singular, const QString &plural)
{
    return QStringLiteral("%1 %2").arg(n).arg(n == 1 ? singular : plural);
}

QString size_text(qint64 bytes)
{
    if (bytes < 1024)
        return count_text(bytes, QStringLiteral("byte"), QStringLiteral("bytes"));
    const char *const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = double(bytes) / 1024;
    int unit = 0;
    // Move up while the value would show as 1024.0 or more once rounded.
    while (unit < 3 && std::round(value * 10) >= 1024 * 10) {
        value /= 1024;
        ++unit;
    }
    return QStringLiteral("%1 %2").arg(value, 0, 'f', unit >= 2 ? 2 : 1).arg(units[unit]);
}
