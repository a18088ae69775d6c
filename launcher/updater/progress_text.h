#pragma once

#include <QString>

// The status text of a running update step: file counter, file name, amounts
// and average speed, filled into TEXT_UPDATING_FILE.
class ProgressText
{
public:
    // `elapsed_ms` is the time since the step's transfer started. A total of
    // -1 (length unknown) keeps both amounts in bytes. The speed is the
    // step's average; a step too short to time (0 ms: a small file's body
    // often arrived before its step began) shows the run's average instead,
    // `run_bytes` in `run_elapsed_ms`, and 0 when not even the run can be
    // timed yet: never an infinite or not-a-number speed.
    static QString format(qint64 current_step, qint64 total_steps, qint64 bytes_read,
                          qint64 bytes_total, qint64 elapsed_ms, const QString &file_name,
                          qint64 run_bytes = 0, qint64 run_elapsed_ms = 0);

    // One decimal, halves rounded up: floor(value * 10 + 0.5) / 10.
    static double round_one_decimal(double value);
};
