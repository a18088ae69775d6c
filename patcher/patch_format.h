#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

// A patch file turns a file with one hash text into a file with another. It
// is a fixed header followed by a body that depends on the format version:
//   1  one zstd frame compressed with the old file as its prefix dictionary,
//      so every part of the old content can be referenced;
//   2  copies with byte-wise differences from the old file, and the bytes
//      between them compressed against the old file (see DiffBody). Rebuilt
//      programs, where addresses shift throughout the code, get far smaller
//      patches; without copies it is the version 1 frame again.
// Patches are made in version 2; version 1 patches still apply.
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
    static constexpr std::uint32_t FORMAT_VERSION = 2;
    static constexpr int SIZE = 42;

    std::uint32_t version = FORMAT_VERSION;
    QByteArray source_hash;
    QByteArray result_hash;
    std::uint64_t source_size = 0;
    std::uint64_t result_size = 0;

    QByteArray encode() const;
    // Reads a header from the first SIZE bytes; false when they are too few or
    // do not start with the magic. The version is read but not judged here.
    static bool decode(const char *data, std::size_t size, PatchHeader *header);
};

// Why a patch operation failed; each has its own exit status in the program.
enum class PatchError {
    None = 0,
    Unreadable = 3, // the patch or the old file cannot be read
    WrongSource = 4, // the target is not the file the patch was made for
    Corrupt = 5, // the patch is damaged, truncated or of another format
    WriteFailed = 6, // the result cannot be written
    Internal = 7, // the compressor failed
};

struct PatchResult
{
    bool ok = false;
    QString message;
    PatchError error = PatchError::None;

    static PatchResult success() { return {true, QString(), PatchError::None}; }
    static PatchResult failure(PatchError error, const QString &message)
    {
        return {false, message, error};
    }
};

// Window (log2) that reaches from the end of the new content back to the
// start of the old one, capped at upper_bound. The maker sets it and the
// applier raises its limit to it.
int patch_window_log(std::uint64_t old_size, std::uint64_t new_size, int upper_bound);

// Compression level of patches. Patches are made once and fetched by every
// player, so size matters more than time; but the optimal-parser levels above
// this gain a few percent at best against a large prefix and can take minutes
// (and even grow the patch) on repetitive data.
constexpr int DEFAULT_PATCH_LEVEL = 12;

// Builds in *patch a patch that turns old_data into new_data. Both ways of
// writing it, the new content compressed against the old one and copies with
// differences, are tried (on two threads) and the smaller is kept. Copies are
// only tried for files up to MAX_DIFF_SIZE: sorting the old content's
// suffixes takes four bytes per old byte and time that grows faster than
// the size.
PatchResult make_patch(const QByteArray &old_data, const QByteArray &new_data, QByteArray *patch,
                       int level = DEFAULT_PATCH_LEVEL);

constexpr std::size_t MAX_DIFF_SIZE = std::size_t(128) << 20;

// A version 1 patch: the new content compressed against the old one only.
// For patch programs that predate version 2, and for testing them.
PatchResult make_plain_patch(const QByteArray &old_data, const QByteArray &new_data,
                             QByteArray *patch, int level = DEFAULT_PATCH_LEVEL);

// The same for files; writes the patch to patch_path. Memory is about the
// size of the old and new file together.
PatchResult make_patch_file(const QString &old_path, const QString &new_path,
                            const QString &patch_path, int level = DEFAULT_PATCH_LEVEL);

// Applies the patch at patch_path to target_path in place. The target must
// have the patch's source hash; the result must have its result hash. The
// result goes to a temporary file beside the target that replaces it only on
// success, so a failure leaves the target as it was.
PatchResult apply_patch_file(const QString &patch_path, const QString &target_path);
