#include "branch_filter.h"

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
    const std::uint8_t op = p[0];
    if (op == 0xE8 && available >= 5)
        return 1;
    if (available < 6)
        return 0;
    if (op == 0xFF && (p[1] == 0x15 || p[1] == 0x25))
        return 2;
    if ((op & 0xF8) == 0x48 && available >= 7 && (p[1] == 0x8B || p[1] == 0x8D || p[1] == 0x89) &&
        (p[2] & 0xC7) == 0x05)
        return 3;
    return 0;
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

template <bool Encode>
void filter(std::uint8_t *data, std::size_t begin, std::size_t end)
{
    std::size_t i = begin;
    while (i < end) {
        const std::size_t offset = operand_offset(data + i, end - i);
        if (offset == 0) {
            ++i;
            continue;
        }
        std::uint8_t *operand = data + i + offset;
        const std::uint32_t next = std::uint32_t(i + offset + 4);
        const std::uint32_t value = load32(operand);
        if (near(value))
            store32(operand, wrap_near(Encode ? value + next : value - next));
        i += offset + 4;
    }
}

} // namespace

void BranchFilter::encode(std::uint8_t *data, std::size_t begin, std::size_t end)
{
    filter<true>(data, begin, end);
}

void BranchFilter::decode(std::uint8_t *data, std::size_t begin, std::size_t end)
{
    filter<false>(data, begin, end);
}
