#include "atomic_file.h"

#include <QFile>

#include <cstdio>
#include <unistd.h>

namespace atomic_file {

bool sync(QFile &file)
{
    return file.flush() && ::fsync(file.handle()) == 0;
}

bool replace(const QString &source, const QString &target)
{
    return std::rename(QFile::encodeName(source).constData(),
                       QFile::encodeName(target).constData()) == 0;
}

} // namespace atomic_file
