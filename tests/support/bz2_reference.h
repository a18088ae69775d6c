#pragma once

#include "bz2_status.h"

#include <QByteArray>

// What libbzip2 makes of an archive, by its one-call decompression, stream by
// stream: concatenated streams make one output, bytes after a complete
// stream that do not begin another stream are ignored, and an input that
// ends inside a stream is BZ_UNEXPECTED_EOF. Our decoders must agree with it.
struct Bz2Reference
{
    int code = 0; // 0 or a negative libbzip2 code
    QByteArray output; // complete only when code is 0
};

// Gives up with BZ_OUTBUFF_FULL once the output passes output_limit bytes.
Bz2Reference bz2_reference_decode(const QByteArray &input, qint64 output_limit = 256 << 20);

// libbzip2's code for an outcome of ours (1 for the two it has none for:
// a refusing sink, an output past the limit).
int bz2_library_code(Bz2Status status);
