#pragma once

#include <QtGlobal>

// A progress bar holds int values; byte counts of files over 2 GiB do not fit.
// Scales maximum and value alike so the bar still shows the right fraction.
struct ProgressBarRange
{
    int maximum;
    int value;
};

ProgressBarRange progress_bar_range(qint64 bytes_read, qint64 bytes_total);
