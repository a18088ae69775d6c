#include "patch_apply.h"

#include "diff_body_reader.h"
#include "file_view.h"
#include "hash_text_core.h"
#include "large_buffer.h"
#include "patch_header.h"

#include <fcntl.h>
#include <sys/stat.h>

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <zstd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <future>
#include <memory>

namespace {

struct DCtxDeleter
{
    void operator()(ZSTD_DCtx *ctx) const { ZSTD_freeDCtx(ctx); }
};

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
                                    "target has " + std::to_string(target.size()) +
                                        " bytes, the patch applies to " +
                                        std::to_string(header.source_size));
    auto source_hash = std::async(std::launch::async, hash_text_of, target.data(), target.size());

    const char *body = patch.data() + PatchHeader::SIZE;
    const std::size_t body_size = patch.size() - PatchHeader::SIZE;
    bool out_of_memory = false;
    const bool decoded = header.version == PatchHeader::PLAIN_VERSION
        ? decode_plain(header, body, body_size, target, out, &out_of_memory)
        : DiffBodyReader::read(body, body_size, target.data(), target.size(),
                               std::size_t(header.result_size), out, &out_of_memory);

    const std::string target_hash = source_hash.get();
    if (target_hash != header.source_hash)
        return PatchResult::failure(PatchError::WrongSource,
                                    "target has hash " + target_hash + ", the patch applies to " +
                                        header.source_hash);
    if (out_of_memory)
        return PatchResult::failure(PatchError::Internal, "out of memory");
    if (!decoded)
        return PatchResult::failure(PatchError::Corrupt, "patch data is truncated or damaged");
    return PatchResult::success();
}

// A new file beside the target, open for writing; its name in *path.
int create_temporary(const std::string &target_path, std::string *path)
{
#ifdef _WIN32
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[16];
        std::snprintf(suffix, sizeof suffix, ".%08lx",
                      (GetTickCount() * 2654435761u + unsigned(attempt)) & 0xffffffffu);
        *path = target_path + suffix;
        const int fd = ::_open(path->c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY,
                               _S_IREAD | _S_IWRITE);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    return -1;
#else
    std::string pattern = target_path + ".XXXXXX";
    const int fd = ::mkstemp(&pattern[0]);
    *path = pattern;
    return fd;
#endif
}

bool write_all(int fd, const char *data, std::size_t size)
{
    while (size > 0) {
#ifdef _WIN32
        const int count = ::_write(fd, data, unsigned(size < (1u << 30) ? size : (1u << 30)));
#else
        const ssize_t count = ::write(fd, data, size);
#endif
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        data += count;
        size -= std::size_t(count);
    }
    return true;
}

// Gives the temporary file the target's permissions (where the system has
// them) and closes it; false when the close reports a failed write.
bool finish_temporary(int fd, const std::string &target_path)
{
#ifdef _WIN32
    (void)target_path;
    return ::_close(fd) == 0;
#else
    struct stat st;
    if (::stat(target_path.c_str(), &st) == 0)
        ::fchmod(fd, st.st_mode & 07777);
    return ::close(fd) == 0;
#endif
}

// Moves source over target in one step.
bool replace_file(const std::string &source, const std::string &target)
{
#ifdef _WIN32
    return MoveFileExA(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
#else
    return std::rename(source.c_str(), target.c_str()) == 0;
#endif
}

// Writes the result to a temporary file beside the target while its hash is
// checked on another thread; the file replaces the target only when the hash
// is the expected one. There is no flush to disk before the rename: a killed
// run leaves the old or the new file whole either way, and a file lost to a
// power cut has other stat data than the launcher's verification cache holds
// for it, so the next start hashes it, finds it wrong and fetches it again;
// the flush would cost a large share of the whole apply.
PatchResult write_result(const std::string &target_path, const char *data, std::size_t size,
                         const std::string &expected_hash)
{
    auto result_hash = std::async(std::launch::async, hash_text_of, data, size);
    std::string temporary;
    const int fd = create_temporary(target_path, &temporary);
    bool written = fd >= 0 && write_all(fd, data, size);
    const int write_errno = errno;
    if (fd >= 0)
        written = finish_temporary(fd, target_path) && written;
    const std::string hash = result_hash.get();
    if (hash != expected_hash) {
        if (fd >= 0)
            std::remove(temporary.c_str());
        return PatchResult::failure(PatchError::Corrupt,
                                    "result has hash " + hash + " instead of " + expected_hash);
    }
    if (!written || !replace_file(temporary, target_path)) {
        const int error = written ? errno : write_errno;
        if (fd >= 0)
            std::remove(temporary.c_str());
        const bool no_space = error == ENOSPC
#ifdef EDQUOT
            || error == EDQUOT
#endif
            ;
        return PatchResult::failure(no_space ? PatchError::NoSpace : PatchError::WriteFailed,
                                    "cannot write " + target_path + ": " + std::strerror(error));
    }
    return PatchResult::success();
}

} // namespace

// Everything is checked in memory first; only a result with the expected hash
// is written, through a temporary file that replaces the target at the end.
PatchResult apply_patch_file(const std::string &patch_path, const std::string &target_path)
{
    FileView patch;
    FileView target;
    if (!patch.open(patch_path.c_str()))
        return PatchResult::failure(PatchError::Unreadable, "cannot read patch " + patch_path);
    if (!target.open(target_path.c_str()))
        return PatchResult::failure(PatchError::Unreadable, "cannot read target " + target_path);
    PatchHeader header;
    if (!PatchHeader::decode(patch.data(), patch.size(), &header))
        return PatchResult::failure(PatchError::Corrupt, "not a patch file");
    if (header.version != PatchHeader::PLAIN_VERSION &&
        header.version != PatchHeader::FORMAT_VERSION)
        return PatchResult::failure(PatchError::Corrupt,
                                    "unsupported patch format version " +
                                        std::to_string(header.version));

    LargeBuffer result;
    const PatchResult decoded = decode_patch(header, patch, target, &result);
    if (!decoded.ok)
        return decoded;
    target.close();
    patch.close();
    return write_result(target_path, result.data(), std::size_t(header.result_size),
                        header.result_hash);
}
