#pragma once

#include <QtGlobal>

// The 48-bit markers of the bzip2 format: each block begins with the first,
// the end of a stream with the second (followed by the stream's CRC). Neither
// is byte-aligned except at the first block of a stream.
constexpr quint64 BZ2_BLOCK_MAGIC = 0x314159265359ULL;
constexpr quint64 BZ2_END_MAGIC = 0x177245385090ULL;

// After the sort and move-to-front, a run of zeros is spelt in bijective base
// two with these two symbols; every other value v is written as v + 1.
constexpr int BZ2_RUN_A = 0;
constexpr int BZ2_RUN_B = 1;
// Symbols coded with one table before the next selector applies.
constexpr int BZ2_GROUP_SIZE = 50;
// Huffman tables a block may have, and symbols a table may code: the 256
// byte values' move-to-front positions, the second run symbol and the end.
constexpr int BZ2_MAX_TABLES = 6;
constexpr int BZ2_MAX_SYMBOLS = 258;
