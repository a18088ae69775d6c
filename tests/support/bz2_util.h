#pragma once

#include <QByteArray>

// One bzip2 stream holding data, made with libbz2. Empty on failure.
QByteArray bz2_compress(const QByteArray &data);
