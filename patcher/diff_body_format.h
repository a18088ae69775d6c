#pragma once

#include <cstddef>

// The body of a version 2 patch, after the header (little-endian):
//   0   uint64 size C of the control frame
//   8   uint64 size D of the difference frame
//   16  control frame: zstd; a list of copies, each three LEB128 numbers: the
//       new bytes before the copy, its length (at least 1) and where it starts
//       in the old content relative to the end of the previous copy
//       (zigzag-coded, so it may go back)
//   16 + C  difference frame: zstd; for each copy in turn its bytes minus
//       the old bytes they are copied from
//   16 + C + D  new-bytes frame: zstd with the old content as prefix; the
//       bytes outside the copies, in order.
// Where rebuilt code only changed embedded addresses the differences are
// mostly zeros and compress very well on their own; the new bytes still find
// whatever moved as a whole in the old content.
constexpr int DIFF_BODY_FIXED_SIZE = 16;

// A version 3 body is a prefix followed by a version 2 body, in which the
// old content is the old file with the operands of its code rewritten (see
// branch_filter.h), the result is the new file rewritten the same way, and
// the differences may be taken by 32-bit words (see copy_difference.h):
//   0  uint8 filter: 0 none, 1 x86-64 operands
//   1  uint8 coder of the difference frame: 0 zstd (as in version 2),
//      1 zero runs and xz, 2 zero runs and zstd
//   2  uint8 coder of the new-bytes frame: 0 zstd with the old content as
//      prefix (as in version 2), 1 xz on its own
//   3  uint8 1 when the differences are taken by words, else 0
//   4  uint64 start and end of the rewritten part of the old file
//   20 uint64 start and end of the rewritten part of the new file
//   36 the version 2 body
// A zero runs frame is a uint64 length L, then one xz stream (LZMA2, CRC32
// check) or zstd frame of L bytes: the differences with each run of zeros
// written as one zero byte and the run's length less one (LEB128). Its
// decoded length is the result's size less that of the new bytes. An xz
// new-bytes frame is a uint64 length, the new bytes', then one xz stream.
constexpr int CODE_PREFIX_SIZE = 36;
enum class CodeFilter : unsigned char { None = 0, X86 = 1 };
enum class DifferenceCoder : unsigned char { Zstd = 0, ZeroRunsXz = 1, ZeroRunsZstd = 2 };
enum class FreshCoder : unsigned char { ZstdAgainstOld = 0, Xz = 1 };

// How a body's frames are coded: all as in version 2 by default.
struct BodyCoding
{
    DifferenceCoder differences = DifferenceCoder::Zstd;
    FreshCoder fresh = FreshCoder::ZstdAgainstOld;
    bool words = false; // differences by words (copy_difference.h)
};
// The xz decoder's memory is bounded: the maker caps the dictionary at
// 64 MiB, and a patch whose stream asks for more is refused.
constexpr std::size_t XZ_DICTIONARY_MAX = std::size_t(64) << 20;
constexpr std::size_t XZ_MEMORY_LIMIT = std::size_t(80) << 20;
// The longest LEB128 number of 64 bits, and so the largest control entry.
constexpr std::size_t DIFF_BODY_MAX_NUMBER = 10;
constexpr std::size_t DIFF_BODY_MAX_ENTRY = 3 * DIFF_BODY_MAX_NUMBER;
