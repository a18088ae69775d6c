#include "static_files.h"

#include <QFile>
#include <QFileInfo>

#include <sys/stat.h>

namespace {

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(c | 0x20);
    return c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Percent-decoding that refuses malformed escapes instead of passing them on.
bool percent_decode(const QByteArray &in, QByteArray *out)
{
    out->clear();
    for (int i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            *out += in[i];
            continue;
        }
        const int hi = i + 2 < in.size() ? hex_value(in[i + 1]) : -1;
        const int lo = hi >= 0 ? hex_value(in[i + 2]) : -1;
        if (lo < 0)
            return false;
        *out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    return true;
}

bool is_regular_file(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

bool StaticFiles::add_mount(const QByteArray &url_prefix, const QString &dir)
{
    const QFileInfo info(dir);
    if (!info.isDir())
        return false;
    mounts.append({url_prefix, info.canonicalFilePath()});
    return true;
}

bool StaticFiles::covers(const QByteArray &raw_path) const
{
    for (const auto &m : mounts) {
        if (raw_path.startsWith(m.first))
            return true;
    }
    return false;
}

StaticFiles::Lookup StaticFiles::lookup(const QByteArray &raw_path, QString *file) const
{
    const QPair<QByteArray, QString> *mount = nullptr;
    for (const auto &m : mounts) {
        if (raw_path.startsWith(m.first) && (!mount || m.first.size() > mount->first.size()))
            mount = &m;
    }
    if (!mount)
        return Lookup::NotFound;

    const QByteArray raw_relative = raw_path.mid(mount->first.size());
    QByteArray relative;
    if (raw_relative.contains('\\') || !percent_decode(raw_relative, &relative) ||
        relative.contains('\0') || relative.contains('\\'))
        return Lookup::BadPath;
    bool empty_segment = false;
    for (const QByteArray &segment : relative.split('/')) {
        if (segment == "." || segment == "..")
            return Lookup::BadPath;
        empty_segment = empty_segment || segment.isEmpty();
    }
    if (empty_segment)
        return Lookup::NotFound;

    // Resolve links and check that the real file is still inside the folder.
    const QString canonical =
        QFileInfo(mount->second + QLatin1Char('/') + QFile::decodeName(relative))
            .canonicalFilePath();
    if (canonical.isEmpty() || !canonical.startsWith(mount->second + QLatin1Char('/')) ||
        !is_regular_file(canonical))
        return Lookup::NotFound;
    *file = canonical;
    return Lookup::Found;
}
