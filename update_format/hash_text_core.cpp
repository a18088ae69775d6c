#include "hash_text_core.h"

#include <openssl/evp.h>

namespace {

std::string hex_prefix(const unsigned char *digest, int length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text(std::size_t(length), '0');
    for (int i = 0; i < length; ++i)
        text[std::size_t(i)] = digits[(digest[i / 2] >> (i % 2 ? 0 : 4)) & 0xf];
    return text;
}

} // namespace

std::string hash_text_of_digest(const unsigned char *digest)
{
    return hex_prefix(digest, HASH_TEXT_LENGTH);
}

std::string digest_text_of_digest(const unsigned char *digest)
{
    return hex_prefix(digest, DIGEST_TEXT_LENGTH);
}

std::string hash_text_of(const char *data, std::size_t size)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    // EVP accepts a null pointer only together with a zero length.
    if (EVP_Digest(size ? data : "", size, digest, &length, EVP_sha256(), nullptr) != 1)
        return std::string();
    return hash_text_of_digest(digest);
}
