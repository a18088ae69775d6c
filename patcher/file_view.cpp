#include "file_view.h"

bool FileView::open(const QString &path)
{
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    length = std::size_t(file.size());
    if (length == 0)
        return true;
    bytes = reinterpret_cast<const char *>(file.map(0, file.size()));
    if (bytes)
        return true;
    copy = file.readAll();
    bytes = copy.constData();
    return std::size_t(copy.size()) == length;
}

void FileView::close()
{
    file.close(); // also unmaps
    copy.clear();
    bytes = nullptr;
    length = 0;
}
