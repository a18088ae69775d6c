#include "bz2_util.h"

#include <bzlib.h>

QByteArray bz2_compress(const QByteArray &data)
{
    // libbz2's documented bound: 1% more than the input plus 600 bytes.
    unsigned int size = static_cast<unsigned int>(data.size() + data.size() / 100 + 600);
    QByteArray out(static_cast<int>(size), Qt::Uninitialized);
    const int rc = BZ2_bzBuffToBuffCompress(out.data(), &size, const_cast<char *>(data.constData()),
                                            static_cast<unsigned int>(data.size()), 9, 0, 0);
    if (rc != BZ_OK)
        return QByteArray();
    out.truncate(static_cast<int>(size));
    return out;
}
