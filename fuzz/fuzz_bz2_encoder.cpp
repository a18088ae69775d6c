// Arbitrary bytes through the publisher's bzip2 encoder, read back by
// libbzip2 in one pass. Holds: no crash, no sanitizer report, one stream
// that decodes to exactly the input.
#include "bz2_reference.h"
#include "bz2_stream_encoder.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Bz2StreamEncoder encoder; // kept, as the publisher keeps one per thread
    const QByteArray input(reinterpret_cast<const char *>(data), int(size));
    const QByteArray archive = encoder.encode(input.constData(), size_t(input.size()));
    const Bz2Reference decoded = bz2_reference_decode(archive);
    if (decoded.code != 0 || decoded.output != input)
        abort();
    return 0;
}
