#include "bz2_status.h"

#include <bzlib.h>

Bz2Status bz2_status_of_library_code(int code)
{
    switch (code) {
    case BZ_OK:
    case BZ_STREAM_END:
        return Bz2Status::Ok;
    case BZ_DATA_ERROR_MAGIC:
        return Bz2Status::NotBzip2;
    case BZ_MEM_ERROR:
        return Bz2Status::OutOfMemory;
    case BZ_UNEXPECTED_EOF:
        return Bz2Status::CutShort;
    case BZ_IO_ERROR:
        return Bz2Status::SourceFailed;
    default:
        return Bz2Status::Damaged;
    }
}
