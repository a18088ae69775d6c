#pragma once

#include <cstddef>
#include <string>

// The 7-character hash text that identifies a file's content everywhere in
// the update system: the first 7 lowercase hexadecimal digits of its SHA-256.
// This part needs neither Qt nor anything but libcrypto, so the patch program
// that links it starts in a fraction of the time.
constexpr int HASH_TEXT_LENGTH = 7;

// The full digest's length as text: 64 lowercase hexadecimal digits.
constexpr int DIGEST_TEXT_LENGTH = 64;

// The hash text of a finished SHA-256 digest (32 bytes).
std::string hash_text_of_digest(const unsigned char *digest);
// All 32 bytes of a finished SHA-256 digest as 64 lowercase hexadecimal digits.
std::string digest_text_of_digest(const unsigned char *digest);

// The hash text of bytes; "" when the digest cannot be computed.
std::string hash_text_of(const char *data, std::size_t size);
