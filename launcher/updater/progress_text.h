#pragma once

#include <QString>

// The status text of a running update step: file counter, file name, amounts
// and average speed, filled into TEXT_UPDATING_FILE.
class ProgressText
{
public:
    // `elapsed_ms` is the time since the step's transfer started. A total of
    // -1 (length unknown) keeps both amounts in bytes. An elapsed time of 0
    // gives an infinite speed, or not-a-number when nothing was read yet;
    // both print as QString::number does ("inf", "nan").
    static QString format(qint64 current_step, qint64 total_steps, qint64 bytes_read,
                          qint64 bytes_total, qint64 elapsed_ms, const QString &file_name);

    // One decimal, halves rounded up: floor(value * 10 + 0.5) / 10.
    static double round_one_decimal(double value);
};
