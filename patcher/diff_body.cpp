#include "diff_body.h"

#include "copy_difference.h"
#include "diff_body_format.h"
#include "diff_plan.h"
#include "little_endian.h"
#include "patch_header.h"
#include "suffix_matcher.h"

#include <lzma.h>
#include <zstd.h>

#include <algorithm>
#include <future>
#include <memory>

namespace {

struct CCtxDeleter
{
    void operator()(ZSTD_CCtx *ctx) const { ZSTD_freeCCtx(ctx); }
};

// The control list is small, and the differences, mostly zeros and without
// a prefix, are cheap to compress with the optimal parser even where the
// new bytes against a large prefix would not be; it makes them a good deal
// smaller than the default level does.
constexpr int SMALL_STREAM_LEVEL = 19;

// xz at its strongest preset is slow to code as well as to decode; it is
// tried only where its stream is at most this share of the new content,
// which bounds the time it adds to making the patch.
constexpr std::size_t XZ_SHARE_DIVISOR = 32;

// What decoding costs on one core of a desktop processor. xz decodes its
// range coder bit by bit, so its time follows the coded size: some 75 ns per
// coded byte, whether zero runs or new bytes (12 to 36 ns per decoded byte,
// by how densely they code), where zstd takes 1 to 3 ns per decoded byte.
// Applying a patch without xz costs about as much processor time as zstd's
// own decoding against the old content, some 3 ns per new byte; xz may add
// at most a fifth of that, so that applying stays within about 1.2 times
// zstd's time, and among the codings that stay within it the smallest is
// kept.
constexpr double XZ_NS_PER_CODED_BYTE = 75;
constexpr double ZSTD_NS_PER_BYTE = 1.5;
constexpr double XZ_BUDGET_NS_PER_NEW_BYTE = 0.6;

// One stream coded with zstd and, where xz was tried and worked, with xz:
// frames as the body holds them.
struct StreamFrames
{
    bool zstd_ok = false;
    std::vector<char> zstd;
    std::vector<char> xz;
    std::size_t decoded = 0;
};

// The processor time xz's frame of a stream adds over zstd's, in ns.
double xz_extra_cost(const StreamFrames &frames)
{
    return XZ_NS_PER_CODED_BYTE * double(frames.xz.size()) -
        ZSTD_NS_PER_BYTE * double(frames.decoded);
}

void put_number(std::vector<std::uint8_t> *out, std::uint64_t value)
{
    while (value >= 0x80) {
        out->push_back(std::uint8_t(value | 0x80));
        value >>= 7;
    }
    out->push_back(std::uint8_t(value));
}

std::uint64_t zigzag(std::int64_t value)
{
    return (std::uint64_t(value) << 1) ^ std::uint64_t(value >> 63);
}

// Appends one frame of size bytes to *out; prefix may be null.
bool compress_into(const std::uint8_t *data, std::size_t size, const std::uint8_t *prefix,
                   std::size_t prefix_size, int level, std::vector<char> *out, std::string *error)
{
    std::unique_ptr<ZSTD_CCtx, CCtxDeleter> cctx(ZSTD_createCCtx());
    if (!cctx) {
        *error = "out of memory";
        return false;
    }
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 1);
    if (prefix) {
        ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_enableLongDistanceMatching, 1);
        ZSTD_CCtx_setParameter(
            cctx.get(), ZSTD_c_windowLog,
            patch_window_log(prefix_size, size,
                             ZSTD_cParam_getBounds(ZSTD_c_windowLog).upperBound));
    }
    const std::size_t start = out->size();
    const std::size_t capacity = ZSTD_compressBound(size);
    out->resize(start + capacity);
    std::size_t written = prefix ? ZSTD_CCtx_refPrefix(cctx.get(), prefix, prefix_size) : 0;
    if (!ZSTD_isError(written))
        written = ZSTD_compress2(cctx.get(), out->data() + start, capacity, data, size);
    if (ZSTD_isError(written)) {
        *error = std::string("compression failed: ") + ZSTD_getErrorName(written);
        return false;
    }
    out->resize(start + written);
    return true;
}

// The difference stream of a rebuilt program is mostly zeros with scattered
// changed bytes. Shortening the runs of zeros first (diff_body_format.h)
// makes zstd's frame a few percent smaller and its optimal parser several
// times faster; xz's match finder, which slows down many times over on long
// runs of one byte, is then fast enough too, and codes the stream some 7 %
// smaller than zstd.
void put_zero_runs(const std::vector<std::uint8_t> &data, std::vector<std::uint8_t> *out)
{
    out->reserve(data.size() / 4);
    for (std::size_t i = 0; i < data.size();) {
        if (data[i] != 0) {
            out->push_back(data[i++]);
            continue;
        }
        std::size_t run = 1;
        while (i + run < data.size() && data[i + run] == 0)
            ++run;
        out->push_back(0);
        put_number(out, run - 1);
        i += run;
    }
}

// Appends one xz stream of size bytes to *out.
bool compress_xz(const std::uint8_t *data, std::size_t size, bool differences,
                 std::vector<char> *out)
{
    lzma_options_lzma options;
    if (lzma_lzma_preset(&options, 9 | LZMA_PRESET_EXTREME))
        return false;
    // Differences are not text: little literal context from the byte before,
    // none from the position.
    if (differences) {
        options.lc = 1;
        options.lp = 0;
        options.pb = 0;
    }
    std::size_t dictionary = LZMA_DICT_SIZE_MIN;
    while (dictionary < size && dictionary < XZ_DICTIONARY_MAX)
        dictionary *= 2;
    options.dict_size = std::uint32_t(dictionary);
    lzma_filter filters[] = {{LZMA_FILTER_LZMA2, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    const std::size_t start = out->size();
    out->resize(start + lzma_stream_buffer_bound(size));
    std::size_t position = 0;
    const lzma_ret ret = lzma_stream_buffer_encode(filters, LZMA_CHECK_CRC32, nullptr, data, size,
                                                   reinterpret_cast<std::uint8_t *>(out->data()) +
                                                       start,
                                                   &position, out->size() - start);
    out->resize(start + position);
    return ret == LZMA_OK;
}

// The difference frames of a version 3 body: the zero runs coded with zstd
// and, where the share allows, with xz, on two threads.
void write_run_frames(const std::vector<std::uint8_t> &differences, std::size_t new_size,
                      int level, StreamFrames *frames, std::string *error)
{
    std::vector<std::uint8_t> runs;
    put_zero_runs(differences, &runs);
    frames->decoded = runs.size();
    std::vector<char> length(8);
    store_little_endian(runs.size(), length.data(), 8);
    std::future<std::pair<bool, std::vector<char>>> xz_frame;
    if (runs.size() <= new_size / XZ_SHARE_DIVISOR)
        xz_frame = std::async(std::launch::async, [&runs, &length] {
            std::pair<bool, std::vector<char>> frame(false, length);
            frame.first = compress_xz(runs.data(), runs.size(), true, &frame.second);
            return frame;
        });
    frames->zstd = length;
    frames->zstd_ok = compress_into(runs.data(), runs.size(), nullptr, 0, level, &frames->zstd,
                                    error);
    if (xz_frame.valid()) {
        std::pair<bool, std::vector<char>> frame = xz_frame.get();
        if (frame.first)
            frames->xz.swap(frame.second);
    }
}

} // namespace

bool DiffBody::write(const std::uint8_t *old_data, std::size_t old_size,
                     const std::uint8_t *new_data, std::size_t new_size,
                     const SuffixMatcher *matcher, int level, bool version3,
                     std::vector<char> *body, BodyCoding *coding, std::string *error)
{
    *coding = BodyCoding();
    std::vector<DiffCopy> copies;
    if (matcher)
        copies = plan_copies(old_data, old_size, new_data, new_size, *matcher);

    std::vector<std::uint8_t> control;
    std::vector<std::uint8_t> differences;
    std::vector<std::uint8_t> word_differences;
    std::vector<std::uint8_t> fresh;
    std::uint64_t new_end = 0;
    std::uint64_t old_end = 0;
    std::uint64_t copied = 0;
    for (const DiffCopy &copy : copies)
        copied += copy.length;
    differences.reserve(std::size_t(copied));
    fresh.reserve(new_size - std::size_t(copied));
    for (const DiffCopy &copy : copies) {
        put_number(&control, copy.new_start - new_end);
        put_number(&control, copy.length);
        put_number(&control, zigzag(std::int64_t(copy.old_start - old_end)));
        fresh.insert(fresh.end(), new_data + new_end, new_data + copy.new_start);
        const std::size_t at = differences.size();
        differences.resize(at + std::size_t(copy.length));
        CopyDifference::subtract(differences.data() + at, new_data + copy.new_start,
                                 old_data + copy.old_start, copy.new_start, copy.length, false);
        if (version3) {
            word_differences.resize(at + std::size_t(copy.length));
            CopyDifference::subtract(word_differences.data() + at, new_data + copy.new_start,
                                     old_data + copy.old_start, copy.new_start, copy.length,
                                     true);
        }
        new_end = copy.new_start + copy.length;
        old_end = copy.old_start + copy.length;
    }
    fresh.insert(fresh.end(), new_data + new_end, new_data + new_size);

    std::vector<char> out(DIFF_BODY_FIXED_SIZE, '\0');
    const int small_level = std::max(level, SMALL_STREAM_LEVEL);
    if (!compress_into(control.data(), control.size(), nullptr, 0, small_level, &out, error))
        return false;
    const std::size_t control_end = out.size();
    if (!version3) {
        if (!compress_into(differences.data(), differences.size(), nullptr, 0, small_level,
                           &out, error))
            return false;
        const std::size_t difference_end = out.size();
        if (!compress_into(fresh.data(), fresh.size(), old_data, old_size, level, &out, error))
            return false;
        store_little_endian(control_end - DIFF_BODY_FIXED_SIZE, out.data(), 8);
        store_little_endian(difference_end - control_end, out.data() + 8, 8);
        body->swap(out);
        return true;
    }

    // Differences by bytes and by words, each coded on its own thread. Words
    // win where numbers move by small amounts (offset tables, code
    // operands), bytes where single bytes change.
    StreamFrames by_words;
    auto words_done = std::async(std::launch::async, [&] {
        std::string ignored;
        write_run_frames(word_differences, new_size, small_level, &by_words, &ignored);
    });
    StreamFrames by_bytes;
    write_run_frames(differences, new_size, small_level, &by_bytes, error);
    words_done.get();
    if (!by_bytes.zstd_ok && !by_words.zstd_ok)
        return false;

    // The new bytes against the old content with zstd and, where the share
    // allows, on their own with xz, whose stronger coding of what is new can
    // outweigh the references into the old content.
    StreamFrames fresh_frames;
    fresh_frames.decoded = fresh.size();
    std::future<std::pair<bool, std::vector<char>>> xz_frame;
    if (!fresh.empty() && fresh.size() <= new_size / XZ_SHARE_DIVISOR)
        xz_frame = std::async(std::launch::async, [&fresh] {
            std::pair<bool, std::vector<char>> frame(false, std::vector<char>(8));
            store_little_endian(fresh.size(), frame.second.data(), 8);
            frame.first = compress_xz(fresh.data(), fresh.size(), false, &frame.second);
            return frame;
        });
    fresh_frames.zstd_ok =
        compress_into(fresh.data(), fresh.size(), old_data, old_size, level, &fresh_frames.zstd,
                      error);
    if (xz_frame.valid()) {
        std::pair<bool, std::vector<char>> frame = xz_frame.get();
        if (frame.first)
            fresh_frames.xz.swap(frame.second);
    }
    if (!fresh_frames.zstd_ok)
        return false;

    // The smallest pair of frames whose xz decoding stays within the budget;
    // zstd alone always does.
    struct Choice
    {
        const std::vector<char> *frame;
        double cost;
        DifferenceCoder coder;
        bool words;
    };
    std::vector<Choice> difference_choices;
    for (const StreamFrames *frames : {&by_bytes, &by_words}) {
        const bool words = frames == &by_words;
        if (frames->zstd_ok)
            difference_choices.push_back({&frames->zstd, 0, DifferenceCoder::ZeroRunsZstd, words});
        if (!frames->xz.empty())
            difference_choices.push_back(
                {&frames->xz, xz_extra_cost(*frames), DifferenceCoder::ZeroRunsXz, words});
    }
    const double budget = XZ_BUDGET_NS_PER_NEW_BYTE * double(new_size);
    const double fresh_xz_cost = xz_extra_cost(fresh_frames);
    const Choice *best_difference = nullptr;
    bool best_fresh_xz = false;
    std::size_t best_size = 0;
    for (const Choice &choice : difference_choices) {
        for (const bool fresh_xz : {false, true}) {
            if (fresh_xz && fresh_frames.xz.empty())
                continue;
            const double cost = choice.cost + (fresh_xz ? fresh_xz_cost : 0);
            const std::size_t size = choice.frame->size() +
                (fresh_xz ? fresh_frames.xz.size() : fresh_frames.zstd.size());
            if (cost <= budget && (!best_difference || size < best_size)) {
                best_difference = &choice;
                best_fresh_xz = fresh_xz;
                best_size = size;
            }
        }
    }
    out.insert(out.end(), best_difference->frame->begin(), best_difference->frame->end());
    const std::size_t difference_end = out.size();
    const std::vector<char> &fresh_frame = best_fresh_xz ? fresh_frames.xz : fresh_frames.zstd;
    out.insert(out.end(), fresh_frame.begin(), fresh_frame.end());
    coding->differences = best_difference->coder;
    coding->words = best_difference->words;
    coding->fresh = best_fresh_xz ? FreshCoder::Xz : FreshCoder::ZstdAgainstOld;
    store_little_endian(control_end - DIFF_BODY_FIXED_SIZE, out.data(), 8);
    store_little_endian(difference_end - control_end, out.data() + 8, 8);
    body->swap(out);
    return true;
}
