#include "updater/progress_text.h"

#include "app/constants.h"

#include <cmath>

namespace {

constexpr double KIBI = 1024.0;
constexpr double MEBI = 1048576.0;

// Picks the unit for `magnitude` and the divisor that goes with it.
double pick_divisor(double magnitude, QString &unit, const QString &suffix)
{
    if (magnitude >= MEBI) {
        unit = TEXT_UNIT_MB + suffix;
        return MEBI;
    }
    if (magnitude >= KIBI) {
        unit = TEXT_UNIT_KB + suffix;
        return KIBI;
    }
    unit = TEXT_UNIT_BYTES + suffix;
    return 1.0;
}

// Bytes per second over a time; 0 for a time too short to measure.
double speed(qint64 bytes, qint64 elapsed_ms)
{
    return elapsed_ms > 0 ? double(bytes) * 1000.0 / double(elapsed_ms) : 0.0;
}

QString number_text(double value)
{
    return QString::number(value, 'g', 6);
}

} // namespace

double ProgressText::round_one_decimal(double value)
{
    return std::floor(value * 10.0 + 0.5) / 10.0;
}

QString ProgressText::format(qint64 current_step, qint64 total_steps, qint64 bytes_read,
                             qint64 bytes_total, qint64 elapsed_ms, const QString &file_name,
                             qint64 run_bytes, qint64 run_elapsed_ms)
{
    QString size_unit;
    const double size_divisor = pick_divisor(double(bytes_total), size_unit, QString());
    const double read_scaled = round_one_decimal(double(bytes_read) / size_divisor);
    const double total_scaled = round_one_decimal(double(bytes_total) / size_divisor);

    const double per_second =
        elapsed_ms > 0 ? speed(bytes_read, elapsed_ms) : speed(run_bytes, run_elapsed_ms);
    QString speed_unit;
    const double speed_divisor = pick_divisor(per_second, speed_unit, TEXT_PER_SECOND);
    const double speed_scaled = round_one_decimal(per_second / speed_divisor);

    // One pass over all placeholders, so a "%" in the file name stays text.
    return TEXT_UPDATING_FILE.arg(QString::number(current_step), QString::number(total_steps),
                                  number_text(read_scaled), number_text(total_scaled), size_unit,
                                  number_text(speed_scaled), speed_unit, file_name);
}
