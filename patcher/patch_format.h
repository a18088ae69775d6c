#pragma once

#include "patch_apply.h"
#include "patch_header.h"
#include "patch_result.h"

#include <QByteArray>
#include <QFile>
#include <QString>

#include <cstddef>
#include <cstdint>

// Making patches (for the publisher and the tests), and applying them by
// Qt paths. The format itself is described in patch_header.h.

// Compression level of patches. Patches are made once and fetched by every
// player, so size matters more than time; but the optimal-parser levels above
// this gain a few percent at best against a large prefix and can take minutes
// (and even grow the patch) on repetitive data.
constexpr int DEFAULT_PATCH_LEVEL = 12;

// Builds in *patch a patch that turns old_data into new_data. Both ways of
// writing it, the new content compressed against the old one (version 2)
// and copies with differences (version 3: over rewritten code for x86-64
// executables, differences with their zero runs shortened), are tried (on
// two threads) and the smaller is kept. Copies are
// only tried for files up to MAX_DIFF_SIZE: sorting the old content's
// suffixes takes four bytes per old byte and time that grows faster than
// the size.
// max_version is the newest format version the patch may use: 2 for patch
// programs that predate version 3, and for testing them.
PatchResult make_patch(const QByteArray &old_data, const QByteArray &new_data, QByteArray *patch,
                       int level = DEFAULT_PATCH_LEVEL,
                       std::uint32_t max_version = PatchHeader::CODE_VERSION);

constexpr std::size_t MAX_DIFF_SIZE = std::size_t(128) << 20;

// A version 1 patch: the new content compressed against the old one only.
// For patch programs that predate version 2, and for testing them.
PatchResult make_plain_patch(const QByteArray &old_data, const QByteArray &new_data,
                             QByteArray *patch, int level = DEFAULT_PATCH_LEVEL);

// The same for files; writes the patch to patch_path. Memory is about the
// size of the old and new file together.
PatchResult make_patch_file(const QString &old_path, const QString &new_path,
                            const QString &patch_path, int level = DEFAULT_PATCH_LEVEL);

// apply_patch_file (patch_apply.h) for Qt paths.
inline PatchResult apply_patch_file(const QString &patch_path, const QString &target_path)
{
    return apply_patch_file(QFile::encodeName(patch_path).toStdString(),
                            QFile::encodeName(target_path).toStdString());
}
