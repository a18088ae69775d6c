#include "diff_body.h"
#include "file_view.h"
#include "hash_text.h"
#include "large_buffer.h"
#include "patch_format.h"

#include <QFile>
#include <QTemporaryFile>

#ifdef Q_OS_WIN
#include <windows.h>
#endif

#include <zstd.h>

#include <cstdio>
#include <future>
#include <memory>

namespace {

struct DCtxDeleter
{
    void operator()(ZSTD_DCtx *ctx) const { ZSTD_freeDCtx(ctx); }
};

QByteArray hash_bytes(const char *data, std::size_t size)
{
    return hash_text(data, size).toLatin1();
}

// Decodes a version 1 body, one frame with the target as prefix, into *out.
bool decode_plain(const PatchHeader &header, const char *frame, std::size_t frame_size,
                  const FileView &target, LargeBuffer *out, bool *out_of_memory)
{
    const std::size_t result_size = std::size_t(header.result_size);
    if (ZSTD_findFrameCompressedSize(frame, frame_size) != frame_size ||
        ZSTD_getFrameContentSize(frame, frame_size) != header.result_size)
        return false;
    std::unique_ptr<ZSTD_DCtx, DCtxDeleter> dctx(ZSTD_createDCtx());
    *out_of_memory = !dctx || !out->allocate(result_size);
    if (*out_of_memory)
        return false;
    const int window_log = patch_window_log(target.size(), result_size,
                                            ZSTD_dParam_getBounds(ZSTD_d_windowLogMax).upperBound);
    ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, window_log);
    const std::size_t ref = ZSTD_DCtx_refPrefix(dctx.get(), target.data(), target.size());
    const std::size_t written = ZSTD_isError(ref)
        ? ref
        : ZSTD_decompressDCtx(dctx.get(), out->data(), result_size, frame, frame_size);
    return !ZSTD_isError(written) && written == result_size;
}

// Decodes the body (by its version) with the target as reference into *out.
// The target's hash is computed on another thread meanwhile; a wrong source
// is reported as such even when the body then failed to decode.
PatchResult decode_patch(const PatchHeader &header, const FileView &patch, const FileView &target,
                         LargeBuffer *out)
{
    if (header.source_size != target.size())
        return PatchResult::failure(PatchError::WrongSource,
                                    QStringLiteral("target has %1 bytes, the patch applies to %2")
                                        .arg(target.size())
                                        .arg(header.source_size));
    auto source_hash = std::async(std::launch::async, hash_bytes, target.data(), target.size());

    const char *body = patch.data() + PatchHeader::SIZE;
    const std::size_t body_size = patch.size() - PatchHeader::SIZE;
    bool out_of_memory = false;
    const bool decoded = header.version == PatchHeader::PLAIN_VERSION
        ? decode_plain(header, body, body_size, target, out, &out_of_memory)
        : DiffBody::read(body, body_size, target.data(), target.size(),
                         std::size_t(header.result_size), out, &out_of_memory);

    const QByteArray target_hash = source_hash.get();
    if (target_hash != header.source_hash)
        return PatchResult::failure(
            PatchError::WrongSource,
            QStringLiteral("target has hash %1, the patch applies to %2")
                .arg(QString::fromLatin1(target_hash), QString::fromLatin1(header.source_hash)));
    if (out_of_memory)
        return PatchResult::failure(PatchError::Internal, QStringLiteral("out of memory"));
    if (!decoded)
        return PatchResult::failure(PatchError::Corrupt,
                                    QStringLiteral("patch data is truncated or damaged"));
    return PatchResult::success();
}

// Moves source over target in one step.
bool replace_file(const QString &source, const QString &target)
{
#ifdef Q_OS_WIN
    return MoveFileExW(reinterpret_cast<const wchar_t *>(source.utf16()),
                       reinterpret_cast<const wchar_t *>(target.utf16()),
                       MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(QFile::encodeName(source).constData(),
                       QFile::encodeName(target).constData()) == 0;
#endif
}

// Writes the result to a temporary file beside the target while its hash is
// checked on another thread; the file replaces the target only when the hash
// is the expected one. There is no flush to disk before the rename: a killed
// run leaves the old or the new file whole either way, and the launcher checks
// every file's hash at each start, so a file lost to a power cut is found and
// fetched again; the flush would cost a large share of the whole apply.
PatchResult write_result(const QString &target_path, const char *data, std::size_t size,
                         const QByteArray &expected_hash)
{
    auto result_hash = std::async(std::launch::async, hash_bytes, data, size);
    QTemporaryFile out(target_path + QStringLiteral(".XXXXXX"));
    const bool written = out.open() && out.write(data, qint64(size)) == qint64(size) && out.flush();
    const QByteArray hash = result_hash.get();
    if (hash != expected_hash)
        return PatchResult::failure(
            PatchError::Corrupt,
            QStringLiteral("result has hash %1 instead of %2")
                .arg(QString::fromLatin1(hash), QString::fromLatin1(expected_hash)));
    out.setPermissions(QFile::permissions(target_path));
    out.close();
    if (!written || !replace_file(out.fileName(), target_path))
        return PatchResult::failure(
            PatchError::WriteFailed,
            QStringLiteral("cannot write %1: %2").arg(target_path, out.errorString()));
    out.setAutoRemove(false); // it is the target now
    return PatchResult::success();
}

} // namespace

// Everything is checked in memory first; only a result with the expected hash
// is written, through a temporary file that replaces the target at the end.
PatchResult apply_patch_file(const QString &patch_path, const QString &target_path)
{
    FileView patch;
    FileView target;
    if (!patch.open(patch_path))
        return PatchResult::failure(PatchError::Unreadable,
                                    QStringLiteral("cannot read patch %1").arg(patch_path));
    if (!target.open(target_path))
        return PatchResult::failure(PatchError::Unreadable,
                                    QStringLiteral("cannot read target %1").arg(target_path));
    PatchHeader header;
    if (!PatchHeader::decode(patch.data(), patch.size(), &header))
        return PatchResult::failure(PatchError::Corrupt, QStringLiteral("not a patch file"));
    if (header.version != PatchHeader::PLAIN_VERSION &&
        header.version != PatchHeader::FORMAT_VERSION)
        return PatchResult::failure(
            PatchError::Corrupt,
            QStringLiteral("unsupported patch format version %1").arg(header.version));

    LargeBuffer result;
    const PatchResult decoded = decode_patch(header, patch, target, &result);
    if (!decoded.ok)
        return decoded;
    target.close();
    patch.close();
    return write_result(target_path, result.data(), std::size_t(header.result_size),
                        header.result_hash);
}
