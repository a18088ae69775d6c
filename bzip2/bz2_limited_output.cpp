#include "bz2_limited_output.h"

#include "byte_sink.h"

bool Bz2LimitedOutput::write(const char *data, qint64 size)
{
    qint64 allowed = size;
    if (limit >= 0 && count + size > limit)
        allowed = limit - count;
    if (allowed > 0 && !sink.write(data, allowed)) {
        ended = Bz2Status::SinkRefused;
        return false;
    }
    count += allowed;
    if (allowed < size) {
        ended = Bz2Status::OutputTooLarge;
        return false;
    }
    return true;
}
