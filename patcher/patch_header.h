#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// A patch file turns a file with one hash text into a file with another. It
// is a fixed header followed by a body that depends on the format version:
//   1  one zstd frame compressed with the old file as its prefix dictionary,
//      so every part of the old content can be referenced;
//   2  copies with byte-wise differences from the old file, and the bytes
//      between them compressed against the old file (see diff_body.h).
//      Rebuilt programs, where addresses shift throughout the code, get far
//      smaller patches; without copies it is the version 1 frame again.
//   3  version 2 after a prefix that says how the code of both files was
//      rewritten before the copies were planned (relative call targets and
//      data addresses made absolute, see branch_filter.h), whether the
//      differences are taken by 32-bit words, and how the differences (zero
//      runs shortened, then zstd or xz) and the new bytes (zstd against the
//      old content, or xz) are coded; see diff_body_format.h.
// Patches with copies are made in version 3; a patch without copies (the
// new content compressed against the old) in version 2, where that is
// smaller. Versions 1 and 2 still apply.
//
// Header (little-endian), PatchHeader::SIZE bytes:
//   0  magic "ORVXPTCH"
//   8  uint32 format version
//  12  7 ASCII characters: hash text of the source file
//  19  7 ASCII characters: hash text of the result file
//  26  uint64 size of the source file
//  34  uint64 size of the result file
struct PatchHeader
{
    static constexpr char MAGIC[] = "ORVXPTCH";
    static constexpr int MAGIC_LENGTH = 8;
    static constexpr std::uint32_t PLAIN_VERSION = 1;
    static constexpr std::uint32_t DIFF_VERSION = 2;
    static constexpr std::uint32_t CODE_VERSION = 3;
    static constexpr int SIZE = 42;

    std::uint32_t version = DIFF_VERSION;
    std::string source_hash;
    std::string result_hash;
    std::uint64_t source_size = 0;
    std::uint64_t result_size = 0;

    // SIZE bytes; a hash text is cut or padded with spaces to its field.
    std::string encode() const;
    // Reads a header from the first SIZE bytes; false when they are too few or
    // do not start with the magic. The version is read but not judged here.
    static bool decode(const char *data, std::size_t size, PatchHeader *header);
};

// Window (log2) that reaches from the end of the new content back to the
// start of the old one, capped at upper_bound. The maker sets it and the
// applier raises its limit to it.
int patch_window_log(std::uint64_t old_size, std::uint64_t new_size, int upper_bound);
