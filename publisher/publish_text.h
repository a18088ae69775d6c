#pragma once

#include <QString>

// Wording of the publisher's reports.

// "1 file", "2 files": n and the noun in the number that fits.
QString count_text(qint64 n, const QString &singular, const QString &plural);
// A byte count in the largest unit that keeps it at or above 1 once
// rounded: "1 byte", "512 bytes", "1.5 KiB", "1023.9 KiB", "1.0 MiB", "2.25 GiB".
QString size_text(qint64 bytes);
