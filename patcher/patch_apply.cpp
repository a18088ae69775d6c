#include "patch_apply.h"

#include "background_hasher.h"
#include "branch_filter.h"
#include "diff_body_reader.h"
#include "file_view.h"
#include "large_buffer.h"
#include "little_endian.h"
#include "patch_header.h"

#include "system_file.h"

#include <zstd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
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

// A version 3 body's prefix, checked against the sizes of both files.
struct CodePrefix
{
    CodeFilter filter = CodeFilter::None;
    BodyCoding coding;
    std::uint64_t old_begin = 0, old_end = 0, new_begin = 0, new_end = 0;

    bool read(const char *body, std::size_t body_size, std::uint64_t old_size,
              std::uint64_t new_size)
    {
        if (body_size < std::size_t(CODE_PREFIX_SIZE) || std::uint8_t(body[0]) > 1 ||
            std::uint8_t(body[1]) > 2 || std::uint8_t(body[2]) > 1 || std::uint8_t(body[3]) > 1)
            return false;
        filter = CodeFilter(body[0]);
        coding.differences = DifferenceCoder(body[1]);
        coding.fresh = FreshCoder(body[2]);
        coding.words = body[3] == 1;
        old_begin = load_little_endian(body + 4, 8);
        old_end = load_little_endian(body + 12, 8);
        new_begin = load_little_endian(body + 20, 8);
        new_end = load_little_endian(body + 28, 8);
        return old_begin <= old_end && old_end <= old_size && new_begin <= new_end &&
            new_end <= new_size;
    }
};

// Decodes a version 3 body into *out: the old content's code rewritten in a
// copy on another thread while the differences are decoded, the version 2
// body read against it, and the result's code restored in steps as it is
// built, each step handed on to finished. (A copy-on-write view of the old
// file costs more than the copy: a page fault for every 4 KiB the rewrite
// touches.)
bool decode_code(const PatchHeader &header, const char *body, std::size_t body_size,
                 const FileView &target, LargeBuffer *out, bool *out_of_memory,
                 const std::function<void(std::size_t)> &finished)
{
    *out_of_memory = false;
    CodePrefix prefix;
    if (!prefix.read(body, body_size, target.size(), header.result_size))
        return false;
    const char *old_data = target.data();
    LargeBuffer filtered;
    std::future<void> old_filtered;
    if (prefix.filter == CodeFilter::X86) {
        if (!filtered.allocate(target.size())) {
            *out_of_memory = true;
            return false;
        }
        old_filtered = std::async(std::launch::async, [&] {
            if (target.size() > 0)
                std::memcpy(filtered.data(), target.data(), target.size());
            BranchFilter::encode(reinterpret_cast<std::uint8_t *>(filtered.data()),
                                 std::size_t(prefix.old_begin), std::size_t(prefix.old_end));
        });
        old_data = filtered.data();
    }
    const std::size_t code_begin = std::size_t(prefix.new_begin);
    const std::size_t code_end = std::size_t(prefix.new_end);
    std::size_t scan = code_begin;
    const auto restore = [&](std::size_t built) {
        if (prefix.filter != CodeFilter::X86 || built < code_begin)
            return finished(built);
        auto *result = reinterpret_cast<std::uint8_t *>(out->data());
        // An instruction needs up to 7 bytes from its start.
        if (built >= code_end)
            scan = BranchFilter::decode_part(result, scan, code_end, code_end);
        else if (built - code_begin >= 7)
            scan = BranchFilter::decode_part(result, scan, built - 7, code_end);
        finished(built >= code_end ? built : scan);
    };
    const bool read = DiffBodyReader::read(
        body + CODE_PREFIX_SIZE, body_size - CODE_PREFIX_SIZE, old_data, target.size(),
        std::size_t(header.result_size), prefix.coding, out, out_of_memory,
        [&old_filtered] {
            if (old_filtered.valid())
                old_filtered.wait();
        },
        restore);
    if (old_filtered.valid())
        old_filtered.wait();
    return read;
}

// Where the result goes as it is built: a temporary file beside the target
// (made with the first bytes) and the hasher; the write error, if any, is
// kept for the end.
struct ResultOutput
{
    // `path`: where the result goes (its temporary file beside it);
    // `permissions_of`: the file whose permissions it takes.
    ResultOutput(const std::string &path, const std::string &permissions_of,
                 BackgroundHasher &result_hasher)
        : target_path(path), permissions_from(permissions_of), hasher(result_hasher)
    {
    }

    const std::string &target_path;
    const std::string &permissions_from;
    BackgroundHasher &hasher;
    const char *data = nullptr;
    std::size_t done = 0;
    std::string temporary;
    int fd = -1;
    bool written = true;
    int write_errno = 0;

    void take(std::size_t finished);
    bool close();
    // Removes the temporary file, if any.
    void discard();
};

// Decodes the body (by its version) with the target as reference, handing
// the result to output as it is built. The target's hash is computed by
// target_hasher meanwhile; a wrong source is reported as such even when the
// body then failed to decode.
PatchResult decode_patch(const PatchHeader &header, const FileView &patch, const FileView &target,
                         BackgroundHasher &target_hasher, LargeBuffer *out, ResultOutput *output)
{
    if (header.source_size != target.size())
        return PatchResult::failure(PatchError::WrongSource,
                                    "target has " + std::to_string(target.size()) +
                                        " bytes, the patch applies to " +
                                        std::to_string(header.source_size));
    target_hasher.add(target.data(), target.size());
    target_hasher.end();

    const char *body = patch.data() + PatchHeader::SIZE;
    const std::size_t body_size = patch.size() - PatchHeader::SIZE;
    bool out_of_memory = false;
    bool decoded = false;
    const auto finished = [out, output](std::size_t built) {
        output->data = out->data();
        output->take(built);
    };
    if (header.version == PatchHeader::PLAIN_VERSION) {
        decoded = decode_plain(header, body, body_size, target, out, &out_of_memory);
        if (decoded)
            finished(std::size_t(header.result_size));
    } else if (header.version == PatchHeader::DIFF_VERSION) {
        decoded = DiffBodyReader::read(body, body_size, target.data(), target.size(),
                                       std::size_t(header.result_size), BodyCoding(), out,
                                       &out_of_memory, nullptr, finished);
    } else {
        decoded = decode_code(header, body, body_size, target, out, &out_of_memory, finished);
    }

    const std::string target_hash = target_hasher.take();
    if (target_hash != header.source_hash)
        return PatchResult::failure(PatchError::WrongSource,
                                    "target has hash " + target_hash + ", the patch applies to " +
                                        header.source_hash);
    if (out_of_memory)
        return PatchResult::failure(PatchError::Internal, "out of memory");
    if (!decoded || output->done != header.result_size)
        return PatchResult::failure(PatchError::Corrupt, "patch data is truncated or damaged");
    return PatchResult::success();
}

// Writes the bytes built since the last call and hands them to the hasher.
// An empty result still gets its (empty) file.
void ResultOutput::take(std::size_t finished)
{
    if (fd < 0 && temporary.empty()) {
        fd = system_file::create_temporary(target_path, &temporary);
        if (fd < 0) {
            temporary.clear();
            written = false;
            write_errno = errno;
        }
    }
    if (finished <= done)
        return;
    hasher.add(data + done, finished - done);
    if (written && !system_file::write_all(fd, data + done, finished - done)) {
        written = false;
        write_errno = errno;
    }
    done = finished;
}

void ResultOutput::discard()
{
    if (fd >= 0)
        system_file::close_file(fd);
    if (!temporary.empty())
        system_file::remove_file(temporary);
    fd = -1;
    temporary.clear();
}

// Gives the temporary file the target's permissions and closes it; false
// when that or an earlier write failed.
bool ResultOutput::close()
{
    if (fd < 0)
        return false;
    system_file::copy_permissions(fd, permissions_from);
    const bool closed = system_file::close_file(fd);
    if (!closed && written)
        write_errno = errno;
    fd = -1;
    written = written && closed;
    return written;
}

} // namespace

// The result is written to a temporary file beside the target as it is
// built, while its hash is computed on another thread; the file replaces the
// target only when both hashes are the expected ones. There is no flush to
// disk before the rename: a killed run leaves the old or the new file whole
// either way, and a file lost to a power cut has other stat data than the
// launcher's verification cache holds for it, so the next start hashes it,
// finds it wrong and fetches it again; the flush would cost a large share of
// the whole apply.
PatchResult apply_patch_file(const std::string &patch_path, const std::string &target_path)
{
    return apply_patch_file(patch_path, target_path, PatchBounds());
}

PatchResult apply_patch_file(const std::string &patch_path, const std::string &source_path,
                             const PatchBounds &bounds)
{
    const std::string &target_path = source_path;
    const std::string &result_path =
        bounds.output_path.empty() ? source_path : bounds.output_path;
    FileView patch;
    FileView target;
    if (!patch.open(patch_path.c_str()))
        return PatchResult::failure(PatchError::Unreadable, "cannot read patch " + patch_path);
    if (!target.open(target_path.c_str()))
        return PatchResult::failure(PatchError::Unreadable, "cannot read target " + target_path);
    PatchHeader header;
    if (!PatchHeader::decode(patch.data(), patch.size(), &header))
        return PatchResult::failure(PatchError::Corrupt, "not a patch file");
    if (header.version < PatchHeader::PLAIN_VERSION || header.version > PatchHeader::CODE_VERSION)
        return PatchResult::failure(PatchError::Corrupt,
                                    "unsupported patch format version " +
                                        std::to_string(header.version));
    // The header names the result's size: a patch that claims more than the
    // bound is refused before its result takes memory or disk.
    if (bounds.max_result_size >= 0 &&
        header.result_size > static_cast<unsigned long long>(bounds.max_result_size))
        return PatchResult::failure(PatchError::TooLarge,
                                    "the result would have " +
                                        std::to_string(header.result_size) +
                                        " bytes, more than the " +
                                        std::to_string(bounds.max_result_size) + " allowed");

    LargeBuffer result;
    // Declared after what they read, so they stop first. The two hashes are
    // computed on threads of their own: on two cores, the result's need not
    // wait for the target's.
    BackgroundHasher target_hasher;
    BackgroundHasher hasher;
    ResultOutput output(result_path, target_path, hasher);
    const PatchResult decoded =
        decode_patch(header, patch, target, target_hasher, &result, &output);
    if (!decoded.ok) {
        output.discard();
        return decoded;
    }
    hasher.end();
    const std::string hash = hasher.take();
    const bool written = output.close();
    if (hash != header.result_hash) {
        output.discard();
        return PatchResult::failure(
            PatchError::Corrupt, "result has hash " + hash + " instead of " + header.result_hash);
    }
    target.close();
    patch.close();
    if (!written || !system_file::replace_file(output.temporary, result_path)) {
        const int error = written ? errno : output.write_errno;
        output.discard();
        return PatchResult::failure(system_file::is_out_of_space(error) ? PatchError::NoSpace
                                                                       : PatchError::WriteFailed,
                                    "cannot write " + result_path + ": " + std::strerror(error));
    }
    return PatchResult::success();
}
