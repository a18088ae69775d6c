#include "branch_filter.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define ORVEX_FILTER_SSE2 1
#endif
// The 32-byte scan is compiled for the processors that have it and chosen
// when the program starts.
#if defined(ORVEX_FILTER_SSE2) && defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ORVEX_FILTER_AVX2 1
#else
#define ORVEX_FILTER_AVX2 0
#endif

namespace {

std::uint32_t load32(const std::uint8_t *p)
{
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
        std::uint32_t(p[3]) << 24;
}

void store32(std::uint8_t *p, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i, value >>= 8)
        p[i] = std::uint8_t(value);
}

// The first byte of each instruction rewritten, for a quick pass over all
// other bytes: 1 call, 2 indirect call or jmp, 3 a REX prefix.
struct FirstBytes
{
    std::uint8_t kind[256] = {};

    constexpr FirstBytes()
    {
        kind[0xE8] = 1;
        kind[0xFF] = 2;
        for (int rex = 0x48; rex <= 0x4F; ++rex)
            kind[rex] = 3;
    }
};
constexpr FirstBytes FIRST_BYTES;

// Where the 32-bit operand of an instruction starting at p lies (its offset
// from p), or 0 when p does not start one of the instructions rewritten:
// call (E8), indirect call and jmp through a pointer beside the code (FF 15,
// FF 25), and mov, lea and store with a 64-bit or extended register and an
// operand relative to the instruction (REX 48 to 4F, then 8B, 8D or 89, then
// a ModRM byte that names the instruction pointer). None of these has bytes
// after the operand, so the operand's end is where the next instruction
// starts. Jumps are left alone: most stay inside their function, whose
// inner distances a rebuild rarely changes, and measured on real library
// updates rewriting them made patches larger.
std::size_t operand_offset(const std::uint8_t *p, std::size_t available)
{
    switch (FIRST_BYTES.kind[p[0]]) {
    case 1:
        return available >= 5 ? 1 : 0;
    case 2:
        return available >= 6 && (p[1] == 0x15 || p[1] == 0x25) ? 2 : 0;
    case 3:
        return available >= 7 && (p[1] == 0x8B || p[1] == 0x8D || p[1] == 0x89) &&
                (p[2] & 0xC7) == 0x05
            ? 3
            : 0;
    default:
        return 0;
    }
}

// Operands within 16 MiB either way (the top byte 00 or FF) are rewritten,
// modulo 32 MiB so that the result lies in that set again: the rewrite is a
// one-to-one map of the set onto itself and leaves every other value, most
// of what only looks like code, as it is. The reverse tells the two apart by
// the same test. The scan moves past every operand it considered, rewritten
// or not: were a far operand's bytes scanned again as opcodes, a later
// rewrite could change them under the reverse scan's feet.
constexpr std::uint32_t NEAR_BITS = 25;

bool near(std::uint32_t value)
{
    const std::uint32_t top = value >> 24;
    return top == 0 || top == 0xFF;
}

std::uint32_t wrap_near(std::uint32_t value)
{
    value &= (std::uint32_t(1) << NEAR_BITS) - 1;
    if (value & (std::uint32_t(1) << (NEAR_BITS - 1)))
        value |= ~((std::uint32_t(1) << NEAR_BITS) - 1);
    return value;
}

template <bool Encode> std::size_t rewrite_at(std::uint8_t *data, std::size_t i, std::size_t end)
{
    const std::size_t offset = operand_offset(data + i, end - i);
    if (offset == 0)
        return i + 1;
    std::uint8_t *operand = data + i + offset;
    const std::uint32_t next = std::uint32_t(i + offset + 4);
    const std::uint32_t value = load32(operand);
    if (near(value))
        store32(operand, wrap_near(Encode ? value + next : value - next));
    return i + offset + 4;
}

#ifdef ORVEX_FILTER_SSE2
// One bit per position of the 16 at p that starts an instruction rewritten
// (operand_offset without its bound, which the caller keeps).
unsigned matches16(const std::uint8_t *p)
{
    const __m128i b0 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
    const __m128i b1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 1));
    const __m128i b2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(p + 2));
    const auto byte = [](int value) { return _mm_set1_epi8(char(value)); };
    const __m128i call = _mm_cmpeq_epi8(b0, byte(0xE8));
    const __m128i indirect =
        _mm_and_si128(_mm_cmpeq_epi8(b0, byte(0xFF)),
                      _mm_or_si128(_mm_cmpeq_epi8(b1, byte(0x15)), _mm_cmpeq_epi8(b1, byte(0x25))));
    const __m128i rex = _mm_cmpeq_epi8(_mm_and_si128(b0, byte(0xF8)), byte(0x48));
    const __m128i move =
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(b1, byte(0x8B)), _mm_cmpeq_epi8(b1, byte(0x8D))),
                     _mm_cmpeq_epi8(b1, byte(0x89)));
    const __m128i relative = _mm_cmpeq_epi8(_mm_and_si128(b2, byte(0xC7)), byte(0x05));
    const __m128i all = _mm_or_si128(_mm_or_si128(call, indirect),
                                     _mm_and_si128(rex, _mm_and_si128(move, relative)));
    return unsigned(_mm_movemask_epi8(all));
}

int lowest_bit(unsigned mask)
{
#ifdef _MSC_VER
    unsigned long index;
    _BitScanForward(&index, mask);
    return int(index);
#else
    return __builtin_ctz(mask);
#endif
}
#endif

#if ORVEX_FILTER_AVX2
// matches16 over 32 positions, where the processor has AVX2.
__attribute__((target("avx2"))) unsigned matches32(const std::uint8_t *p)
{
    const __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
    const __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 1));
    const __m256i b2 = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p + 2));
    const __m256i call = _mm256_cmpeq_epi8(b0, _mm256_set1_epi8(char(0xE8)));
    const __m256i indirect =
        _mm256_and_si256(_mm256_cmpeq_epi8(b0, _mm256_set1_epi8(char(0xFF))),
                         _mm256_or_si256(_mm256_cmpeq_epi8(b1, _mm256_set1_epi8(char(0x15))),
                                         _mm256_cmpeq_epi8(b1, _mm256_set1_epi8(char(0x25)))));
    const __m256i rex = _mm256_cmpeq_epi8(_mm256_and_si256(b0, _mm256_set1_epi8(char(0xF8))),
                                          _mm256_set1_epi8(char(0x48)));
    const __m256i move =
        _mm256_or_si256(_mm256_or_si256(_mm256_cmpeq_epi8(b1, _mm256_set1_epi8(char(0x8B))),
                                        _mm256_cmpeq_epi8(b1, _mm256_set1_epi8(char(0x8D)))),
                        _mm256_cmpeq_epi8(b1, _mm256_set1_epi8(char(0x89))));
    const __m256i relative = _mm256_cmpeq_epi8(_mm256_and_si256(b2, _mm256_set1_epi8(char(0xC7))),
                                               _mm256_set1_epi8(char(0x05)));
    const __m256i all = _mm256_or_si256(_mm256_or_si256(call, indirect),
                                        _mm256_and_si256(rex, _mm256_and_si256(move, relative)));
    return unsigned(_mm256_movemask_epi8(all));
}
#endif

// Positions are visited in order; a rewrite moves the next one past its
// operand. The vector passes find the same positions as the plain one, and
// read only bytes at or after the position they look at, which no rewrite
// before it has changed. Each pass scans the positions from i in whole
// blocks before stop and returns the next one; a block reads up to its
// width + 2 bytes, and an instruction starting in it may need 7.
#ifdef ORVEX_FILTER_SSE2
template <bool Encode>
std::size_t blocks16(std::uint8_t *data, std::size_t i, std::size_t stop, std::size_t end)
{
    for (std::size_t block = i; block + 16 <= stop && block + 24 <= end; block = i) {
        for (unsigned mask = matches16(data + block); mask != 0; mask &= mask - 1) {
            const std::size_t at = block + std::size_t(lowest_bit(mask));
            if (at >= i)
                i = rewrite_at<Encode>(data, at, end);
        }
        if (i < block + 16)
            i = block + 16;
    }
    return i;
}
#endif

#if ORVEX_FILTER_AVX2
template <bool Encode>
__attribute__((target("avx2"))) std::size_t blocks32(std::uint8_t *data, std::size_t i,
                                                     std::size_t stop, std::size_t end)
{
    for (std::size_t block = i; block + 32 <= stop && block + 40 <= end; block = i) {
        for (unsigned mask = matches32(data + block); mask != 0; mask &= mask - 1) {
            const std::size_t at = block + std::size_t(lowest_bit(mask));
            if (at >= i)
                i = rewrite_at<Encode>(data, at, end);
        }
        if (i < block + 32)
            i = block + 32;
    }
    return i;
}

const bool HAS_AVX2 = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") != 0;
}();
#endif

// Scans the positions in [i, stop) and returns the next one, at or past
// stop; reads no byte at or past stop + 7, nor at or past end.
template <bool Encode>
std::size_t filter(std::uint8_t *data, std::size_t i, std::size_t stop, std::size_t end)
{
#if ORVEX_FILTER_AVX2
    if (HAS_AVX2)
        i = blocks32<Encode>(data, i, stop, end);
#endif
#ifdef ORVEX_FILTER_SSE2
    i = blocks16<Encode>(data, i, stop, end);
#endif
    while (i < stop)
        i = FIRST_BYTES.kind[data[i]] == 0 ? i + 1 : rewrite_at<Encode>(data, i, end);
    return i;
}

} // namespace

void BranchFilter::encode(std::uint8_t *data, std::size_t begin, std::size_t end)
{
    filter<true>(data, begin, end, end);
}

void BranchFilter::decode(std::uint8_t *data, std::size_t begin, std::size_t end)
{
    filter<false>(data, begin, end, end);
}

std::size_t BranchFilter::decode_part(std::uint8_t *data, std::size_t from, std::size_t stop,
                                      std::size_t end)
{
    return from < stop ? filter<false>(data, from, stop, end) : from;
}
