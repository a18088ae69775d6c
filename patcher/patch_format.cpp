#include "patch_format.h"

#include "hash_text.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QtEndian>

#include <zstd.h>

#include <cstring>
#include <memory>

namespace {

// A read-only view of a whole file, mapped when possible. An empty file is a
// valid empty view.
class FileView
{
public:
    bool open(const QString &path)
    {
        file.setFileName(path);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        size = std::size_t(file.size());
        if (size == 0)
            return true;
        data = reinterpret_cast<const char *>(file.map(0, file.size()));
        if (data)
            return true;
        // Some file systems cannot map: read it instead.
        copy = file.readAll();
        data = copy.constData();
        return std::size_t(copy.size()) == size;
    }
    void close()
    {
        file.close(); // also unmaps
        data = nullptr;
        copy.clear();
    }

    const char *data = nullptr;
    std::size_t size = 0;

private:
    QFile file;
    QByteArray copy;
};

PatchResult failure(PatchError error, const QString &message)
{
    return {false, message, error};
}

// Window (log2) that reaches from the end of the new content back to the
// start of the old one, within what the library allows.
int window_log_for(std::uint64_t old_size, std::uint64_t new_size, ZSTD_bounds bounds)
{
    const std::uint64_t span = old_size + new_size;
    int log = bounds.lowerBound;
    while (log < bounds.upperBound && (std::uint64_t(1) << log) < span)
        ++log;
    return log;
}

struct CCtxDeleter
{
    void operator()(ZSTD_CCtx *ctx) const { ZSTD_freeCCtx(ctx); }
};
struct DCtxDeleter
{
    void operator()(ZSTD_DCtx *ctx) const { ZSTD_freeDCtx(ctx); }
};

// Compresses new content with the old content as prefix into a buffer that
// starts with the header. Returns the total size, or 0 with *result set.
std::size_t build_patch(const char *old_data, std::size_t old_size, const char *new_data,
                        std::size_t new_size, int level, std::unique_ptr<char[]> *out,
                        PatchResult *result)
{
    PatchHeader header;
    header.source_hash = hash_text(old_data, old_size).toLatin1();
    header.result_hash = hash_text(new_data, new_size).toLatin1();
    header.source_size = old_size;
    header.result_size = new_size;

    std::unique_ptr<ZSTD_CCtx, CCtxDeleter> cctx(ZSTD_createCCtx());
    const int window_log
        = window_log_for(old_size, new_size, ZSTD_cParam_getBounds(ZSTD_c_windowLog));
    const std::size_t capacity = PatchHeader::SIZE + ZSTD_compressBound(new_size);
    out->reset(new (std::nothrow) char[capacity]);
    if (!cctx || !*out) {
        *result = failure(PatchError::Internal, QStringLiteral("out of memory"));
        return 0;
    }
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, window_log);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1);
    const std::size_t ref = ZSTD_CCtx_refPrefix(cctx.get(), old_data, old_size);
    const std::size_t frame_size
        = ZSTD_isError(ref) ? ref
                            : ZSTD_compress2(cctx.get(), out->get() + PatchHeader::SIZE,
                                             capacity - PatchHeader::SIZE, new_data, new_size);
    if (ZSTD_isError(frame_size)) {
        *result = failure(PatchError::Internal,
                          QStringLiteral("compression failed: %1")
                              .arg(QString::fromLatin1(ZSTD_getErrorName(frame_size))));
        return 0;
    }
    std::memcpy(out->get(), header.encode().constData(), PatchHeader::SIZE);
    return PatchHeader::SIZE + frame_size;
}

// Checks the header against the target and decodes the frame into *out.
PatchResult decode_patch(const FileView &patch, const FileView &target,
                         std::unique_ptr<char[]> *out, std::size_t *out_size)
{
    PatchHeader header;
    if (!PatchHeader::decode(patch.data, patch.size, &header))
        return failure(PatchError::Corrupt, QStringLiteral("not a patch file"));
    if (header.version != PatchHeader::FORMAT_VERSION)
        return failure(PatchError::Corrupt,
                       QStringLiteral("unsupported patch format version %1").arg(header.version));
    const QByteArray target_hash = hash_text(target.data, target.size).toLatin1();
    if (header.source_size != target.size || target_hash != header.source_hash)
        return failure(
            PatchError::WrongSource,
            QStringLiteral("target has hash %1, the patch applies to %2")
                .arg(QString::fromLatin1(target_hash), QString::fromLatin1(header.source_hash)));

    const char *frame = patch.data + PatchHeader::SIZE;
    const std::size_t frame_size = patch.size - PatchHeader::SIZE;
    if (ZSTD_findFrameCompressedSize(frame, frame_size) != frame_size
        || ZSTD_getFrameContentSize(frame, frame_size) != header.result_size)
        return failure(PatchError::Corrupt, QStringLiteral("patch data is truncated or damaged"));

    std::unique_ptr<ZSTD_DCtx, DCtxDeleter> dctx(ZSTD_createDCtx());
    const std::size_t result_size = std::size_t(header.result_size);
    out->reset(new (std::nothrow) char[result_size ? result_size : 1]);
    if (!dctx || !*out)
        return failure(PatchError::Internal, QStringLiteral("out of memory"));
    ZSTD_DCtx_setParameter(
        dctx.get(), ZSTD_d_windowLogMax,
        window_log_for(target.size, result_size, ZSTD_dParam_getBounds(ZSTD_d_windowLogMax)));
    const std::size_t ref = ZSTD_DCtx_refPrefix(dctx.get(), target.data, target.size);
    const std::size_t written
        = ZSTD_isError(ref)
              ? ref
              : ZSTD_decompressDCtx(dctx.get(), out->get(), result_size, frame, frame_size);
    if (ZSTD_isError(written) || written != result_size)
        return failure(PatchError::Corrupt, QStringLiteral("patch data is damaged"));
    const QByteArray result_hash = hash_text(out->get(), result_size).toLatin1();
    if (result_hash != header.result_hash)
        return failure(PatchError::Corrupt, QStringLiteral("result has hash %1 instead of %2")
                                                .arg(QString::fromLatin1(result_hash),
                                                     QString::fromLatin1(header.result_hash)));
    *out_size = result_size;
    return {true, QString(), PatchError::None};
}

} // namespace

constexpr char PatchHeader::MAGIC[];

QByteArray PatchHeader::encode() const
{
    QByteArray bytes(SIZE, '\0');
    char *p = bytes.data();
    std::memcpy(p, MAGIC, MAGIC_LENGTH);
    qToLittleEndian<quint32>(version, p + 8);
    std::memcpy(p + 12, source_hash.leftJustified(HASH_TEXT_LENGTH, ' ', true).constData(),
                HASH_TEXT_LENGTH);
    std::memcpy(p + 19, result_hash.leftJustified(HASH_TEXT_LENGTH, ' ', true).constData(),
                HASH_TEXT_LENGTH);
    qToLittleEndian<quint64>(source_size, p + 26);
    qToLittleEndian<quint64>(result_size, p + 34);
    return bytes;
}

bool PatchHeader::decode(const char *data, std::size_t size, PatchHeader *header)
{
    if (size < std::size_t(SIZE) || std::memcmp(data, MAGIC, MAGIC_LENGTH) != 0)
        return false;
    header->version = qFromLittleEndian<quint32>(data + 8);
    header->source_hash = QByteArray(data + 12, HASH_TEXT_LENGTH);
    header->result_hash = QByteArray(data + 19, HASH_TEXT_LENGTH);
    header->source_size = qFromLittleEndian<quint64>(data + 26);
    header->result_size = qFromLittleEndian<quint64>(data + 34);
    return true;
}

PatchResult make_patch(const QByteArray &old_data, const QByteArray &new_data, QByteArray *patch,
                       int level)
{
    PatchResult result{true, QString(), PatchError::None};
    std::unique_ptr<char[]> buffer;
    const std::size_t size
        = build_patch(old_data.constData(), std::size_t(old_data.size()), new_data.constData(),
                      std::size_t(new_data.size()), level, &buffer, &result);
    if (size == 0)
        return result;
    *patch = QByteArray(buffer.get(), int(size));
    return result;
}

PatchResult make_patch_file(const QString &old_path, const QString &new_path,
                            const QString &patch_path, int level)
{
    FileView old_file;
    FileView new_file;
    if (!old_file.open(old_path))
        return failure(PatchError::Unreadable, QStringLiteral("cannot read %1").arg(old_path));
    if (!new_file.open(new_path))
        return failure(PatchError::Unreadable, QStringLiteral("cannot read %1").arg(new_path));
    PatchResult result{true, QString(), PatchError::None};
    std::unique_ptr<char[]> buffer;
    const std::size_t size = build_patch(old_file.data, old_file.size, new_file.data, new_file.size,
                                         level, &buffer, &result);
    if (size == 0)
        return result;
    QSaveFile out(patch_path);
    if (!out.open(QIODevice::WriteOnly) || out.write(buffer.get(), qint64(size)) != qint64(size)
        || !out.commit())
        return failure(PatchError::WriteFailed,
                       QStringLiteral("cannot write %1: %2").arg(patch_path, out.errorString()));
    return result;
}

// Checks and decodes everything in memory first; only a verified result is
// written, through a temporary file that replaces the target at the end.
PatchResult apply_patch_file(const QString &patch_path, const QString &target_path)
{
    FileView patch;
    FileView target;
    if (!patch.open(patch_path))
        return failure(PatchError::Unreadable,
                       QStringLiteral("cannot read patch %1").arg(patch_path));
    if (!target.open(target_path))
        return failure(PatchError::Unreadable,
                       QStringLiteral("cannot read target %1").arg(target_path));
    std::unique_ptr<char[]> result_data;
    std::size_t result_size = 0;
    const PatchResult decoded = decode_patch(patch, target, &result_data, &result_size);
    if (!decoded.ok)
        return decoded;
    // Release the old file before it is replaced (a mapped file cannot be
    // renamed over on every platform).
    target.close();
    patch.close();

    QSaveFile out(target_path);
    if (!out.open(QIODevice::WriteOnly)
        || out.write(result_data.get(), qint64(result_size)) != qint64(result_size)
        || !out.commit())
        return failure(PatchError::WriteFailed,
                       QStringLiteral("cannot write %1: %2").arg(target_path, out.errorString()));
    return decoded;
}
