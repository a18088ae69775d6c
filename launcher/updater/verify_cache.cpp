#include "updater/verify_cache.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QList>
#include <QUrl>

#include "atomic_file.h"

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const QByteArray MAGIC_PREFIX = QByteArrayLiteral("saltmarch-verify-cache ");
const QByteArray MAGIC_LINE = MAGIC_PREFIX + "1\n";
const QByteArray CHECKSUM_PREFIX = QByteArrayLiteral("sha256 ");
constexpr int FIELD_COUNT = 8;
// A file changed less than this long before it was read may change again
// without its times moving on (coarse file system clocks); such an entry is
// read again next time, until it is older.
constexpr qint64 RACY_MARGIN_NS = 2'000'000'000;
constexpr qint64 NS_PER_S = 1'000'000'000;

QByteArray checksum_line(const QByteArray &body)
{
    return CHECKSUM_PREFIX + QCryptographicHash::hash(body, QCryptographicHash::Sha256).toHex() +
        '\n';
}

bool to_number(const QByteArray &text, qint64 &value)
{
    bool ok = false;
    value = text.toLongLong(&ok);
    return ok;
}

bool to_number(const QByteArray &text, quint64 &value)
{
    bool ok = false;
    value = text.toULongLong(&ok);
    return ok;
}

#ifdef Q_OS_WIN
// A Windows file time (100 ns steps since 1601) in nanoseconds since 1970.
qint64 unix_ns(const FILETIME &time)
{
    constexpr quint64 EPOCH_DIFFERENCE = 116444736000000000ULL;
    const quint64 ticks = (quint64(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return qint64(ticks - EPOCH_DIFFERENCE) * 100;
}
#endif

// The cache file, open for reading, only when it is a plain file: a FIFO, a
// device or a link there is not ours, and opening a FIFO for reading would
// wait for a writer for ever. The open does not block and follows no link;
// the type is then taken from what was opened.
bool open_plain_file(const QString &path, QFile &file)
{
#ifdef Q_OS_WIN
    const QFileInfo info(path);
    if (info.isSymLink() || info.isJunction() || !info.isFile())
        return false;
    file.setFileName(path);
    return file.open(QIODevice::ReadOnly);
#else
    const int fd =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat data
    {
    };
    if (::fstat(fd, &data) != 0 || !S_ISREG(data.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
#endif
}

} // namespace

bool VerifyCache::Entry::same_file(const Entry &other) const
{
    return size == other.size && mtime_ns == other.mtime_ns && ctime_ns == other.ctime_ns &&
        inode == other.inode && device == other.device;
}

QString VerifyCache::file_name()
{
    return QStringLiteral(".saltmarch-verify.cache");
}

bool VerifyCache::stat_file(const QString &path, Entry &entry)
{
#ifdef Q_OS_WIN
    // Links followed, as reading follows them.
    const HANDLE handle =
        CreateFileW(reinterpret_cast<const wchar_t *>(path.utf16()), FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info {};
    const bool plain = GetFileInformationByHandle(handle, &info) &&
        GetFileType(handle) == FILE_TYPE_DISK &&
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(handle);
    if (!plain)
        return false;
    entry.size = (qint64(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    entry.mtime_ns = unix_ns(info.ftLastWriteTime);
    // This call gives no change time of the entry itself; the creation time
    // stands in, and a file replaced by another has another file index.
    entry.ctime_ns = unix_ns(info.ftCreationTime);
    entry.inode = (quint64(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    entry.device = quint64(info.dwVolumeSerialNumber);
    return true;
#else
    struct stat data
    {
    };
    if (::stat(QFile::encodeName(path).constData(), &data) != 0 || !S_ISREG(data.st_mode))
        return false;
    entry.size = qint64(data.st_size);
    entry.mtime_ns = qint64(data.st_mtim.tv_sec) * NS_PER_S + data.st_mtim.tv_nsec;
    entry.ctime_ns = qint64(data.st_ctim.tv_sec) * NS_PER_S + data.st_ctim.tv_nsec;
    entry.inode = quint64(data.st_ino);
    entry.device = quint64(data.st_dev);
    return true;
#endif
}

qint64 VerifyCache::now_ns()
{
#ifdef Q_OS_WIN
    FILETIME now {};
    GetSystemTimeAsFileTime(&now);
    return unix_ns(now);
#else
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec) * NS_PER_S + now.tv_nsec;
#endif
}

bool VerifyCache::load(const QString &folder)
{
    entries.clear();
    loaded_bytes.clear();
    QFile file;
    if (!open_plain_file(QDir(folder).filePath(file_name()), file))
        return false;
    const QByteArray data = file.readAll();
    if (!parse(data)) {
        entries.clear();
        return false;
    }
    loaded_bytes = data;
    return true;
}

bool VerifyCache::parse(const QByteArray &data)
{
    if (!data.startsWith(MAGIC_LINE) || !data.endsWith('\n'))
        return false;
    const int last_line = data.lastIndexOf('\n', data.size() - 2) + 1;
    const QByteArray body = data.left(last_line);
    if (last_line < MAGIC_LINE.size() || data.mid(last_line) != checksum_line(body))
        return false;

    const QList<QByteArray> lines = body.mid(MAGIC_LINE.size()).split('\n');
    // split() leaves an empty piece after the body's last newline.
    for (int i = 0; i + 1 < lines.size(); ++i) {
        const QList<QByteArray> fields = lines[i].split(' ');
        if (fields.size() != FIELD_COUNT)
            return false;
        Entry entry;
        if (!to_number(fields[0], entry.checked_ns) || !to_number(fields[1], entry.size) ||
            !to_number(fields[2], entry.mtime_ns) || !to_number(fields[3], entry.ctime_ns) ||
            !to_number(fields[4], entry.inode) || !to_number(fields[5], entry.device))
            return false;
        entry.hash = QString::fromLatin1(fields[6]);
        const QString name = QUrl::fromPercentEncoding(fields[7]);
        if (entry.hash.isEmpty() || name.isEmpty())
            return false;
        entries.insert(name, entry);
    }
    return true;
}

QByteArray VerifyCache::serialised() const
{
    QStringList names = entries.keys();
    names.sort();
    QByteArray body = MAGIC_LINE;
    for (const QString &name : qAsConst(names)) {
        const Entry &entry = entries[name];
        body += QByteArray::number(entry.checked_ns) + ' ' + QByteArray::number(entry.size) + ' ' +
            QByteArray::number(entry.mtime_ns) + ' ' + QByteArray::number(entry.ctime_ns) + ' ' +
            QByteArray::number(entry.inode) + ' ' + QByteArray::number(entry.device) + ' ' +
            entry.hash.toLatin1() + ' ' + QUrl::toPercentEncoding(name) + '\n';
    }
    return body + checksum_line(body);
}

bool VerifyCache::save(const QString &folder) const
{
    const QByteArray data = serialised();
    if (data == loaded_bytes)
        return true;
    const QDir dir(folder);
    const QString path = dir.filePath(file_name());
    // A plain file not written by us (a game file) is not replaced, nor is a
    // folder; an empty file holds nothing to lose. Anything else odd at the
    // name (a link, a FIFO, a device) gives way to a fresh cache.
    const QFileInfo existing(path);
    if (!existing.isSymLink() && existing.isDir())
        return false;
    QFile present;
    if (open_plain_file(path, present) && present.size() > 0 &&
        present.read(MAGIC_PREFIX.size()) != MAGIC_PREFIX)
        return false;
    present.close();

    // The rename replaces whatever entry has the name rather than writing
    // through it.
    return atomic_file::write(path, data);
}

bool VerifyCache::reusable_hash(const QString &name, const Entry &now, QString &hash) const
{
    const auto found = entries.constFind(name);
    if (found == entries.constEnd() || !found->same_file(now))
        return false;
    if (found->checked_ns - qMax(found->mtime_ns, found->ctime_ns) < RACY_MARGIN_NS)
        return false;
    hash = found->hash;
    return true;
}
