#pragma once

#include <cstddef>

class LargeBuffer;

// Reads the body of a version 2 patch (see diff_body_format.h). Needs only
// zstd's decoder, so the patch program does not carry what makes patches.
class DiffBodyReader
{
public:
    // Rebuilds the result_size bytes of the result from a body and the old
    // content into *out. False when the body is damaged or does not fit the
    // sizes; *out_of_memory tells a failed allocation apart.
    static bool read(const char *body, std::size_t body_size, const char *old_data,
                     std::size_t old_size, std::size_t result_size, LargeBuffer *out,
                     bool *out_of_memory);
};
