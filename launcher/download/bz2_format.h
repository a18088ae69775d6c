#pragma once

#include <QtGlobal>

// The 48-bit markers of the bzip2 format: each block begins with the first,
// the end of a stream with the second (followed by the stream's CRC). Neither
// is byte-aligned except at the first block of a stream.
constexpr quint64 BZ2_BLOCK_MAGIC = 0x314159265359ULL;
constexpr quint64 BZ2_END_MAGIC = 0x177245385090ULL;
