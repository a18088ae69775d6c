#include "patch_header.h"

#include "hash_text_core.h"
#include "little_endian.h"

#include <cstring>

constexpr char PatchHeader::MAGIC[];

std::string PatchHeader::encode() const
{
    std::string bytes(SIZE, '\0');
    char *p = &bytes[0];
    std::memcpy(p, MAGIC, MAGIC_LENGTH);
    store_little_endian(version, p + 8, 4);
    const auto put_hash = [](const std::string &hash, char *field) {
        std::string padded = hash.substr(0, HASH_TEXT_LENGTH);
        padded.resize(HASH_TEXT_LENGTH, ' ');
        std::memcpy(field, padded.data(), HASH_TEXT_LENGTH);
    };
    put_hash(source_hash, p + 12);
    put_hash(result_hash, p + 19);
    store_little_endian(source_size, p + 26, 8);
    store_little_endian(result_size, p + 34, 8);
    return bytes;
}

bool PatchHeader::decode(const char *data, std::size_t size, PatchHeader *header)
{
    if (size < std::size_t(SIZE) || std::memcmp(data, MAGIC, MAGIC_LENGTH) != 0)
        return false;
    header->version = std::uint32_t(load_little_endian(data + 8, 4));
    header->source_hash.assign(data + 12, HASH_TEXT_LENGTH);
    header->result_hash.assign(data + 19, HASH_TEXT_LENGTH);
    header->source_size = load_little_endian(data + 26, 8);
    header->result_size = load_little_endian(data + 34, 8);
    return true;
}

int patch_window_log(std::uint64_t old_size, std::uint64_t new_size, int upper_bound)
{
    const std::uint64_t span = old_size + new_size;
    int log = 10; // the smallest window the format knows
    while (log < upper_bound && (std::uint64_t(1) << log) < span)
        ++log;
    return log;
}
