#include "install/hashing_file_sink.h"

#include "files/safe_file.h"

bool HashingFileSink::write(const char *data, qint64 size)
{
    if (!safe_file::write_all(file, data, size)) {
        out_of_space = safe_file::failed_for_space();
        return false;
    }
    digest.add(data, std::size_t(size));
    count += size;
    return true;
}
