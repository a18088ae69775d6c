#pragma once

#include <QString>

// Compresses the file at source into one bzip2 stream (block size 900k, as
// `bzip2 -9`) at target, streaming, so memory does not depend on the file.
bool bz2_compress_file(const QString &source, const QString &target, QString *error);
