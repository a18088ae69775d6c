#include "window/progress_scale.h"

#include <limits>

ProgressBarRange progress_bar_range(qint64 bytes_read, qint64 bytes_total)
{
    constexpr qint64 int_max = std::numeric_limits<int>::max();
    const qint64 largest = qMax(bytes_total, bytes_read);
    const qint64 divisor = largest > int_max ? largest / int_max + 1 : 1;
    return {static_cast<int>(bytes_total / divisor), static_cast<int>(bytes_read / divisor)};
}
