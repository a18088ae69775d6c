#pragma once

#include "diff_body_format.h"

#include <cstddef>
#include <functional>

class LargeBuffer;

// Reads the body of a version 2 patch, or that of a version 3 one after its
// prefix (see diff_body_format.h). Needs only the zstd and xz decoders, so
// the patch program does not carry what makes patches.
class DiffBodyReader
{
public:
    // Rebuilds the result_size bytes of the result from a body and the old
    // content into *out. False when the body is damaged or does not fit the
    // sizes; *out_of_memory tells a failed allocation apart. coding is the
    // default one in version 2 and given by the prefix in version 3. When
    // given,
    // old_ready is called before old_data is first read, so the old content
    // can be prepared on another thread while the differences are decoded;
    // finished(n) whenever the first n bytes of *out are built, n growing,
    // last with result_size, so they can be used while the rest is built.
    // A false return voids what was reported.
    static bool read(const char *body, std::size_t body_size, const char *old_data,
                     std::size_t old_size, std::size_t result_size, const BodyCoding &coding,
                     LargeBuffer *out, bool *out_of_memory,
                     const std::function<void()> &old_ready = nullptr,
                     const std::function<void(std::size_t)> &finished = nullptr);
};
