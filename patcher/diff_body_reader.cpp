#include "diff_body_reader.h"

#include "copy_difference.h"
#include "diff_body_format.h"
#include "diff_plan.h"
#include "large_buffer.h"
#include "little_endian.h"
#include "patch_header.h"

#include <lzma.h>
#include <zstd.h>

#include <algorithm>
#include <cstring>
#include <future>
#include <memory>
#include <new>

namespace {

struct DCtxDeleter
{
    void operator()(ZSTD_DCtx *ctx) const { ZSTD_freeDCtx(ctx); }
};

bool get_number(const std::uint8_t **p, const std::uint8_t *end, std::uint64_t *value)
{
    *value = 0;
    for (int shift = 0; shift < 64 && *p < end; shift += 7) {
        const std::uint8_t byte = *(*p)++;
        *value |= std::uint64_t(byte & 0x7F) << shift;
        if (!(byte & 0x80))
            return shift < 63 || byte <= 1; // no bits beyond the 64th
    }
    return false;
}

std::int64_t unzigzag(std::uint64_t value)
{
    return std::int64_t(value >> 1) ^ -std::int64_t(value & 1);
}

// The declared content size of a whole frame, or false.
bool frame_content_size(const char *frame, std::size_t frame_size, std::uint64_t *size)
{
    if (ZSTD_findFrameCompressedSize(frame, frame_size) != frame_size)
        return false;
    const unsigned long long declared = ZSTD_getFrameContentSize(frame, frame_size);
    if (declared == ZSTD_CONTENTSIZE_UNKNOWN || declared == ZSTD_CONTENTSIZE_ERROR)
        return false;
    *size = declared;
    return true;
}

// Decompresses a whole frame of exactly size bytes into out.
bool decompress(const char *frame, std::size_t frame_size, const char *prefix,
                std::size_t prefix_size, void *out, std::size_t size)
{
    std::unique_ptr<ZSTD_DCtx, DCtxDeleter> dctx(ZSTD_createDCtx());
    if (!dctx)
        return false;
    if (prefix) {
        ZSTD_DCtx_setParameter(
            dctx.get(), ZSTD_d_windowLogMax,
            patch_window_log(prefix_size, size,
                             ZSTD_dParam_getBounds(ZSTD_d_windowLogMax).upperBound));
        if (ZSTD_isError(ZSTD_DCtx_refPrefix(dctx.get(), prefix, prefix_size)))
            return false;
    }
    const std::size_t written = ZSTD_decompressDCtx(dctx.get(), out, size, frame, frame_size);
    return !ZSTD_isError(written) && written == size;
}

// Decodes a whole xz stream of exactly size bytes into out.
bool decompress_xz(const char *stream, std::size_t stream_size, std::uint8_t *out, std::size_t size)
{
    std::uint64_t memory_limit = XZ_MEMORY_LIMIT;
    std::size_t in_position = 0;
    std::size_t out_position = 0;
    const lzma_ret ret = lzma_stream_buffer_decode(
        &memory_limit, 0, nullptr, reinterpret_cast<const std::uint8_t *>(stream), &in_position,
        stream_size, out, &out_position, size);
    return ret == LZMA_OK && in_position == stream_size && out_position == size;
}

// Decodes the coded bytes of a zero runs frame (with xz or zstd), for a
// result of at most size bytes, into *coded.
bool decompress_runs(const char *frame, std::size_t frame_size, bool xz, std::size_t size,
                     std::unique_ptr<std::uint8_t[]> *coded, std::size_t *coded_size)
{
    if (frame_size < 8)
        return false;
    // Each byte decoded takes at most two coded ones (a single zero).
    const std::uint64_t length = load_little_endian(frame, 8);
    if (length / 2 > size)
        return false;
    coded->reset(new (std::nothrow) std::uint8_t[length ? std::size_t(length) : 1]);
    if (!*coded)
        return false;
    *coded_size = std::size_t(length);
    const char *stream = frame + 8;
    const std::size_t stream_size = frame_size - 8;
    if (xz)
        return decompress_xz(stream, stream_size, coded->get(), *coded_size);
    std::uint64_t declared = 0;
    return frame_content_size(stream, stream_size, &declared) && declared == length &&
        decompress(stream, stream_size, nullptr, 0, coded->get(), *coded_size);
}

// Reads the differences from their zero runs coding, copy by copy, and adds
// them where they are not zero.
class RunCursor
{
public:
    RunCursor(const std::uint8_t *coded, std::size_t size) : p(coded), end(coded + size) { }

    // Adds the next length differences to the copy at to (new_start in the
    // result), which holds the old bytes; false when the coding breaks off
    // or is broken.
    bool add(std::uint8_t *to, std::uint64_t new_start, std::uint64_t length, bool words)
    {
        // The whole 32-bit words of the copy: [word_begin, word_end).
        std::uint64_t word_begin = length, word_end = length;
        if (words) {
            word_begin = std::min<std::uint64_t>(length, (4 - new_start % 4) % 4);
            word_end = word_begin + (length - word_begin) / 4 * 4;
        }
        std::uint64_t k = 0;
        while (k < length) {
            if (zeros > 0) {
                const std::uint64_t skip = std::min(zeros, length - k);
                k += skip;
                zeros -= skip;
                continue;
            }
            if (p == end)
                return false;
            const std::uint8_t byte = *p++;
            if (byte == 0) {
                std::uint64_t more = 0;
                if (!get_number(&p, end, &more) || more == ~std::uint64_t(0))
                    return false;
                zeros = more + 1;
                continue;
            }
            if (k >= word_begin && k < word_end) {
                // A word's difference is the sum of its bytes in place,
                // so each may be added on its own, carries and all.
                const unsigned shift = unsigned(k - word_begin) % 4 * 8;
                std::uint8_t *word = to + (k - (k - word_begin) % 4);
                const std::uint32_t value =
                    std::uint32_t(load_little_endian(reinterpret_cast<const char *>(word), 4)) +
                    (std::uint32_t(byte) << shift);
                for (int i = 0; i < 4; ++i)
                    word[i] = std::uint8_t(value >> (8 * i));
            } else {
                to[k] = std::uint8_t(to[k] + byte);
            }
            ++k;
        }
        return true;
    }

    // True when every coded byte and zero was used.
    bool finished() const { return p == end && zeros == 0; }

private:
    const std::uint8_t *p;
    const std::uint8_t *end;
    std::uint64_t zeros = 0; // left in the current run
};

// Reads the control list, checking that the copies lie in order inside both
// contents, into copies (when not null). *count gets their number, *copied
// their total length.
bool read_copies(const std::uint8_t *p, const std::uint8_t *end, std::uint64_t old_size,
                 std::uint64_t result_size, DiffCopy *copies, std::uint64_t *count,
                 std::uint64_t *copied)
{
    std::uint64_t new_end = 0;
    std::uint64_t old_end = 0;
    *count = 0;
    *copied = 0;
    while (p < end) {
        std::uint64_t gap, length, delta;
        if (!get_number(&p, end, &gap) || !get_number(&p, end, &length) ||
            !get_number(&p, end, &delta) || length == 0)
            return false;
        // Bounds in unsigned arithmetic that cannot wrap.
        if (gap > result_size - new_end || length > result_size - new_end - gap)
            return false;
        const std::int64_t move = unzigzag(delta);
        if (move < 0 ? std::uint64_t(-(move + 1)) >= old_end
                     : std::uint64_t(move) > old_size - old_end)
            return false;
        const std::uint64_t old_start = old_end + std::uint64_t(move);
        if (length > old_size - old_start)
            return false;
        if (copies)
            copies[*count] = {new_end + gap, old_start, length};
        ++*count;
        new_end += gap + length;
        old_end = old_start + length;
        *copied += length;
    }
    return true;
}

} // namespace

// Without zero runs the differences are decoded straight into the result
// buffer, at its start; each copy then moves to its place, last first: a
// copy's place never lies below where its differences were decoded, nor over
// those of earlier copies. With zero runs the result is built front to
// back: each copy's old bytes, then its differences added where they are not
// zero, so the result is reported finished in steps.
bool DiffBodyReader::read(const char *body, std::size_t body_size, const char *old_data,
                          std::size_t old_size, std::size_t result_size, const BodyCoding &coding,
                          LargeBuffer *out, bool *out_of_memory,
                          const std::function<void()> &old_ready,
                          const std::function<void(std::size_t)> &finished)
{
    *out_of_memory = false;
    if (body_size < std::size_t(DIFF_BODY_FIXED_SIZE))
        return false;
    const std::uint64_t control_size = load_little_endian(body, 8);
    const std::uint64_t difference_size = load_little_endian(body + 8, 8);
    const std::size_t rest = body_size - DIFF_BODY_FIXED_SIZE;
    if (control_size > rest || difference_size > rest - control_size)
        return false;
    const char *control_frame = body + DIFF_BODY_FIXED_SIZE;
    const char *difference_frame = control_frame + control_size;
    const char *fresh_frame = difference_frame + difference_size;
    const std::size_t fresh_size = rest - control_size - difference_size;

    // Each copy is at least one byte long, so there are at most as many as
    // difference bytes.
    std::uint64_t control_length = 0;
    std::uint64_t difference_length = 0;
    std::uint64_t fresh_length = 0;
    const bool runs = coding.differences != DifferenceCoder::Zstd;
    const bool fresh_xz = coding.fresh == FreshCoder::Xz;
    if (fresh_xz) {
        if (fresh_size < 8)
            return false;
        fresh_length = load_little_endian(fresh_frame, 8);
    } else if (!frame_content_size(fresh_frame, fresh_size, &fresh_length)) {
        return false;
    }
    if (!frame_content_size(control_frame, control_size, &control_length) ||
        fresh_length > result_size)
        return false;
    if (runs)
        difference_length = result_size - fresh_length;
    else if (!frame_content_size(difference_frame, difference_size, &difference_length))
        return false;
    if (difference_length > result_size || fresh_length != result_size - difference_length ||
        control_length / DIFF_BODY_MAX_ENTRY > difference_length)
        return false;

    // The list is read twice: checked and counted, then kept.
    std::unique_ptr<std::uint8_t[]> control(
        new (std::nothrow) std::uint8_t[control_length ? std::size_t(control_length) : 1]);
    if (!control) {
        *out_of_memory = true;
        return false;
    }
    const std::uint8_t *control_end = control.get() + control_length;
    std::uint64_t count = 0;
    std::uint64_t copied = 0;
    if (!decompress(control_frame, control_size, nullptr, 0, control.get(),
                    std::size_t(control_length)) ||
        !read_copies(control.get(), control_end, old_size, result_size, nullptr, &count, &copied) ||
        copied != difference_length)
        return false;
    std::unique_ptr<DiffCopy[]> copies(new (std::nothrow) DiffCopy[count ? count : 1]);
    // The new bytes can be most of the result: a large buffer, like it.
    LargeBuffer fresh;
    if (!copies || !fresh.allocate(std::size_t(fresh_length)) || !out->allocate(result_size)) {
        *out_of_memory = true;
        return false;
    }
    read_copies(control.get(), control_end, old_size, result_size, copies.get(), &count, &copied);
    auto *result = reinterpret_cast<std::uint8_t *>(out->data());
    // New bytes coded on their own do not need the old content: xz, slow to
    // decode, works on another thread while the differences are decoded.
    std::future<bool> fresh_xz_read;
    if (fresh_xz)
        fresh_xz_read = std::async(std::launch::async, [&] {
            return decompress_xz(fresh_frame + 8, fresh_size - 8,
                                 reinterpret_cast<std::uint8_t *>(fresh.data()),
                                 std::size_t(fresh_length));
        });
    std::unique_ptr<std::uint8_t[]> coded;
    std::size_t coded_size = 0;
    const bool differences_read = runs
        ? decompress_runs(difference_frame, difference_size,
                          coding.differences == DifferenceCoder::ZeroRunsXz,
                          std::size_t(difference_length), &coded, &coded_size)
        : decompress(difference_frame, difference_size, nullptr, 0, result,
                     std::size_t(difference_length));
    if (old_ready)
        old_ready();
    const bool fresh_read = fresh_xz ? fresh_xz_read.get()
                                     : decompress(fresh_frame, fresh_size, old_data, old_size,
                                                  fresh.data(), std::size_t(fresh_length));
    if (!differences_read || !fresh_read)
        return false;

    const auto *old_bytes = reinterpret_cast<const std::uint8_t *>(old_data);
    if (runs) {
        // Reported in steps large enough to cost nothing, small enough to
        // let the caller's work on the finished part overlap.
        constexpr std::uint64_t STEP = std::uint64_t(1) << 18;
        RunCursor differences(coded.get(), coded_size);
        std::uint64_t place = 0;
        std::uint64_t fresh_start = 0;
        std::uint64_t reported = 0;
        for (std::uint64_t i = 0; i <= count; ++i) {
            const DiffCopy *copy = i < count ? &copies[i] : nullptr;
            const std::uint64_t gap = (copy ? copy->new_start : result_size) - place;
            std::memcpy(result + place, fresh.data() + fresh_start, std::size_t(gap));
            fresh_start += gap;
            if (!copy)
                break;
            std::uint8_t *to = result + copy->new_start;
            std::memcpy(to, old_bytes + copy->old_start, std::size_t(copy->length));
            if (!differences.add(to, copy->new_start, copy->length, coding.words))
                return false;
            place = copy->new_start + copy->length;
            if (finished && place - reported >= STEP) {
                finished(std::size_t(place));
                reported = place;
            }
        }
        if (!differences.finished())
            return false;
    } else {
        std::uint64_t fresh_end = fresh_length;
        std::uint64_t difference_end = difference_length;
        std::uint64_t place_end = result_size;
        for (std::uint64_t i = count;; --i) {
            const DiffCopy *copy = i > 0 ? &copies[i - 1] : nullptr;
            const std::uint64_t copy_end = copy ? copy->new_start + copy->length : 0;
            const std::uint64_t gap = place_end - copy_end;
            std::memcpy(result + copy_end, fresh.data() + fresh_end - gap, std::size_t(gap));
            fresh_end -= gap;
            if (!copy)
                break;
            difference_end -= copy->length;
            std::uint8_t *to = result + copy->new_start;
            std::memmove(to, result + difference_end, std::size_t(copy->length));
            CopyDifference::add(to, old_bytes + copy->old_start, copy->new_start, copy->length,
                                coding.words);
            place_end = copy->new_start;
        }
    }
    if (finished)
        finished(result_size);
    return true;
}
