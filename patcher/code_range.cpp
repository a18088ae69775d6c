#include "code_range.h"

#include <algorithm>

namespace {

std::uint64_t load(const std::uint8_t *p, int bytes)
{
    std::uint64_t value = 0;
    for (int i = bytes - 1; i >= 0; --i)
        value = value << 8 | p[i];
    return value;
}

// Widens *range by [offset, offset + length), clipped to the file.
void include(std::uint64_t offset, std::uint64_t length, std::size_t size, CodeRange *range)
{
    if (offset >= size || length == 0)
        return;
    const std::size_t end =
        std::size_t(std::min<std::uint64_t>(size, offset + std::min<std::uint64_t>(length, size)));
    if (range->end == 0) {
        range->begin = std::size_t(offset);
        range->end = end;
        return;
    }
    range->begin = std::min(range->begin, std::size_t(offset));
    range->end = std::max(range->end, end);
}

// ELF64, little-endian, x86-64: the loadable segments marked executable.
void find_elf(const std::uint8_t *data, std::size_t size, CodeRange *range)
{
    constexpr std::uint64_t HEADER_SIZE = 64, ENTRY_SIZE = 56, PT_LOAD = 1, PF_X = 1;
    constexpr std::uint64_t MACHINE_X86_64 = 62;
    if (size < HEADER_SIZE || data[4] != 2 || data[5] != 1 || load(data + 18, 2) != MACHINE_X86_64)
        return;
    const std::uint64_t table = load(data + 32, 8);
    const std::uint64_t entry_size = load(data + 54, 2);
    const std::uint64_t count = load(data + 56, 2);
    if (entry_size < ENTRY_SIZE || table > size || count > (size - table) / entry_size)
        return;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint8_t *entry = data + table + i * entry_size;
        if (load(entry, 4) == PT_LOAD && (load(entry + 4, 4) & PF_X))
            include(load(entry + 8, 8), load(entry + 32, 8), size, range);
    }
}

// PE for x86-64: the sections that hold code or may be executed.
void find_pe(const std::uint8_t *data, std::size_t size, CodeRange *range)
{
    constexpr std::uint64_t MACHINE_AMD64 = 0x8664, SECTION_SIZE = 40;
    constexpr std::uint64_t CONTAINS_CODE = 0x20, EXECUTABLE = 0x20000000;
    if (size < 64)
        return;
    const std::uint64_t pe = load(data + 60, 4);
    if (pe > size || size - pe < 24 || load(data + pe, 4) != 0x4550 ||
        load(data + pe + 4, 2) != MACHINE_AMD64)
        return;
    const std::uint64_t count = load(data + pe + 6, 2);
    const std::uint64_t table = pe + 24 + load(data + pe + 20, 2);
    if (table > size || count > (size - table) / SECTION_SIZE)
        return;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint8_t *section = data + table + i * SECTION_SIZE;
        if (load(section + 36, 4) & (CONTAINS_CODE | EXECUTABLE))
            include(load(section + 20, 4), load(section + 16, 4), size, range);
    }
}

} // namespace

bool CodeRange::find(const std::uint8_t *data, std::size_t size, CodeRange *range)
{
    *range = CodeRange();
    if (size >= 4 && data[0] == 0x7F && data[1] == 'E' && data[2] == 'L' && data[3] == 'F')
        find_elf(data, size, range);
    else if (size >= 2 && data[0] == 'M' && data[1] == 'Z')
        find_pe(data, size, range);
    return range->end > range->begin;
}
