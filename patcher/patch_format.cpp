#include "patch_format.h"

#include "branch_filter.h"
#include "code_range.h"
#include "diff_body.h"
#include "file_view.h"
#include "hash_text_core.h"
#include "little_endian.h"
#include "suffix_matcher.h"

#include <QSaveFile>

#include <zstd.h>

#include <climits>
#include <cstring>
#include <future>
#include <memory>
#include <vector>

namespace {

struct CCtxDeleter
{
    void operator()(ZSTD_CCtx *ctx) const { ZSTD_freeCCtx(ctx); }
};

PatchHeader header_for(std::uint32_t version, const char *old_data, std::size_t old_size,
                       const char *new_data, std::size_t new_size)
{
    PatchHeader header;
    header.version = version;
    header.source_hash = hash_text_of(old_data, old_size);
    header.result_hash = hash_text_of(new_data, new_size);
    header.source_size = old_size;
    header.result_size = new_size;
    return header;
}

// A version 1 patch: the new content compressed with the old as prefix, into
// a buffer that starts with the header. Returns the total size, or 0 with
// *result set.
std::size_t build_plain_patch(const char *old_data, std::size_t old_size, const char *new_data,
                              std::size_t new_size, int level, std::unique_ptr<char[]> *out,
                              PatchResult *result)
{
    const PatchHeader header =
        header_for(PatchHeader::PLAIN_VERSION, old_data, old_size, new_data, new_size);
    std::unique_ptr<ZSTD_CCtx, CCtxDeleter> cctx(ZSTD_createCCtx());
    const int window_log =
        patch_window_log(old_size, new_size, ZSTD_cParam_getBounds(ZSTD_c_windowLog).upperBound);
    const std::size_t capacity = PatchHeader::SIZE + ZSTD_compressBound(new_size);
    out->reset(new (std::nothrow) char[capacity]);
    if (!cctx || !*out) {
        *result = PatchResult::failure(PatchError::Internal, "out of memory");
        return 0;
    }
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_enableLongDistanceMatching, 1);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_windowLog, window_log);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1);
    const std::size_t ref = ZSTD_CCtx_refPrefix(cctx.get(), old_data, old_size);
    const std::size_t frame_size = ZSTD_isError(ref)
        ? ref
        : ZSTD_compress2(cctx.get(), out->get() + PatchHeader::SIZE, capacity - PatchHeader::SIZE,
                         new_data, new_size);
    if (ZSTD_isError(frame_size)) {
        *result = PatchResult::failure(PatchError::Internal,
                                       std::string("compression failed: ") +
                                           ZSTD_getErrorName(frame_size));
        return 0;
    }
    std::memcpy(out->get(), header.encode().data(), PatchHeader::SIZE);
    return PatchHeader::SIZE + frame_size;
}

struct Candidate
{
    bool ok = false;
    std::vector<char> body;
    std::string error;
    // The version 3 prefix; empty for a version 2 body.
    std::vector<char> prefix;

    std::size_t size() const { return prefix.size() + body.size(); }
};

// A body with copies planned over old and new. For x86-64 executables (both
// files) the copies are planned over the files with their code's operands
// rewritten (branch_filter.h).
Candidate diff_candidate(const std::uint8_t *old_data, std::size_t old_size,
                         const std::uint8_t *new_data, std::size_t new_size, int level,
                         std::uint32_t max_version)
{
    Candidate candidate;
    CodeRange old_code;
    CodeRange new_code;
    std::vector<std::uint8_t> old_filtered;
    std::vector<std::uint8_t> new_filtered;
    const bool version3 = max_version >= PatchHeader::CODE_VERSION;
    const bool filter = version3 && CodeRange::find(old_data, old_size, &old_code) &&
        CodeRange::find(new_data, new_size, &new_code);
    if (filter) {
        old_filtered.assign(old_data, old_data + old_size);
        new_filtered.assign(new_data, new_data + new_size);
        BranchFilter::encode(old_filtered.data(), old_code.begin, old_code.end);
        BranchFilter::encode(new_filtered.data(), new_code.begin, new_code.end);
        old_data = old_filtered.data();
        new_data = new_filtered.data();
    }
    SuffixMatcher matcher;
    if (!matcher.build(old_data, old_size)) {
        candidate.error = "out of memory";
        return candidate;
    }
    BodyCoding coding;
    candidate.ok = DiffBody::write(old_data, old_size, new_data, new_size, &matcher, level,
                                   version3, &candidate.body, &coding, &candidate.error);
    if (candidate.ok && version3) {
        candidate.prefix.assign(CODE_PREFIX_SIZE, '\0');
        candidate.prefix[0] = char(filter ? CodeFilter::X86 : CodeFilter::None);
        candidate.prefix[1] = char(coding.differences);
        candidate.prefix[2] = char(coding.fresh);
        candidate.prefix[3] = char(coding.words ? 1 : 0);
        const std::uint64_t ranges[] = {old_code.begin, old_code.end, new_code.begin,
                                        new_code.end};
        for (int i = 0; i < 4; ++i)
            store_little_endian(ranges[i], candidate.prefix.data() + 4 + 8 * i, 8);
    }
    return candidate;
}

// The smaller of the bodies tried: with copies (version 3, or version 2 when
// max_version says so) and without (version 2). The plain body is compressed
// on another thread while the copies are planned.
std::vector<char> build_patch(const char *old_data, std::size_t old_size, const char *new_data,
                              std::size_t new_size, int level, std::uint32_t max_version,
                              PatchResult *result)
{
    const auto *old_bytes = reinterpret_cast<const std::uint8_t *>(old_data);
    const auto *new_bytes = reinterpret_cast<const std::uint8_t *>(new_data);
    auto plain = std::async(std::launch::async, [=] {
        Candidate candidate;
        BodyCoding coding;
        candidate.ok = DiffBody::write(old_bytes, old_size, new_bytes, new_size, nullptr, level,
                                       false, &candidate.body, &coding, &candidate.error);
        return candidate;
    });
    std::vector<Candidate> candidates;
    if (old_size > 0 && old_size <= MAX_DIFF_SIZE && new_size <= MAX_DIFF_SIZE)
        candidates.push_back(
            diff_candidate(old_bytes, old_size, new_bytes, new_size, level, max_version));
    candidates.push_back(plain.get());

    const Candidate *best = nullptr;
    for (const Candidate &candidate : candidates)
        if (candidate.ok && (!best || candidate.size() < best->size()))
            best = &candidate;
    if (!best) {
        *result = PatchResult::failure(PatchError::Internal, candidates.back().error);
        return {};
    }
    const std::uint32_t version =
        best->prefix.empty() ? PatchHeader::DIFF_VERSION : PatchHeader::CODE_VERSION;
    const std::string header =
        header_for(version, old_data, old_size, new_data, new_size).encode();
    std::vector<char> patch(header.begin(), header.end());
    patch.insert(patch.end(), best->prefix.begin(), best->prefix.end());
    patch.insert(patch.end(), best->body.begin(), best->body.end());
    return patch;
}

} // namespace

PatchResult make_patch(const QByteArray &old_data, const QByteArray &new_data, QByteArray *patch,
                       int level, std::uint32_t max_version)
{
    PatchResult result = PatchResult::success();
    const std::vector<char> bytes =
        build_patch(old_data.constData(), std::size_t(old_data.size()), new_data.constData(),
                    std::size_t(new_data.size()), level, max_version, &result);
    if (!result.ok)
        return result;
    if (bytes.size() > std::size_t(INT_MAX))
        return PatchResult::failure(PatchError::Internal, "patch too large");
    *patch = QByteArray(bytes.data(), int(bytes.size()));
    return result;
}

PatchResult make_plain_patch(const QByteArray &old_data, const QByteArray &new_data,
                             QByteArray *patch, int level)
{
    PatchResult result = PatchResult::success();
    std::unique_ptr<char[]> buffer;
    const std::size_t size =
        build_plain_patch(old_data.constData(), std::size_t(old_data.size()), new_data.constData(),
                          std::size_t(new_data.size()), level, &buffer, &result);
    if (size == 0)
        return result;
    *patch = QByteArray(buffer.get(), int(size));
    return result;
}

namespace {

// A path as FileView takes it: UTF-8 on Windows, the system's encoding elsewhere.
QByteArray view_path(const QString &path)
{
#ifdef _WIN32
    return path.toUtf8();
#else
    return QFile::encodeName(path);
#endif
}

} // namespace

PatchResult make_patch_file(const QString &old_path, const QString &new_path,
                            const QString &patch_path, int level)
{
    FileView old_file;
    FileView new_file;
    if (!old_file.open(view_path(old_path).constData()))
        return PatchResult::failure(PatchError::Unreadable,
                                    "cannot read " + old_path.toStdString());
    if (!new_file.open(view_path(new_path).constData()))
        return PatchResult::failure(PatchError::Unreadable,
                                    "cannot read " + new_path.toStdString());
    PatchResult result = PatchResult::success();
    const std::vector<char> bytes =
        build_patch(old_file.data(), old_file.size(), new_file.data(), new_file.size(), level,
                    PatchHeader::CODE_VERSION, &result);
    if (!result.ok)
        return result;
    QSaveFile out(patch_path);
    const qint64 size = qint64(bytes.size());
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes.data(), size) != size || !out.commit())
        return PatchResult::failure(
            PatchError::WriteFailed,
            QStringLiteral("cannot write %1: %2").arg(patch_path, out.errorString()).toStdString());
    return result;
}
