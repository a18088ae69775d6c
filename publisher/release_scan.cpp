#include "release_scan.h"

#include "safe_path.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>

#include <algorithm>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString windows_reason(const QString &segment)
{
    for (const QChar c : segment) {
        if (c.unicode() < 0x20)
            return QStringLiteral("contains a control character");
        if (QStringLiteral("<>\"|*?").contains(c))
            return QStringLiteral("contains \"%1\", which Windows does not allow").arg(c);
    }
    // What the Windows launcher refuses, asked on every system.
    return safe_path::windows_name_fault(segment);
}

// Raw bytes of a name, escaped where they are not printable ASCII, so a
// name that is not UTF-8 can still be named.
QString shown(const QByteArray &raw)
{
    QString out;
    for (const char c : raw) {
        const uchar u = uchar(c);
        out += u >= 0x20 && u < 0x7f ? QString(QLatin1Char(c))
                                     : QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return out;
}

class Scanner
{
public:
    Scanner(const QByteArray &root, bool follow, QVector<ReleaseFile> *files, QStringList *errors)
        : root(root), follow(follow), files(files), errors(errors)
    {
    }

    void folder(const QByteArray &relative)
    {
        const QByteArray path = relative.isEmpty() ? root : root + '/' + relative;
        DIR *dir = ::opendir(path.constData());
        if (!dir) {
            fail(relative, QStringLiteral("is a folder that cannot be read"));
            return;
        }
        QList<QByteArray> names;
        while (const dirent *entry = ::readdir(dir)) {
            const QByteArray name(entry->d_name);
            if (name != "." && name != "..")
                names.append(name);
        }
        ::closedir(dir);
        std::sort(names.begin(), names.end());
        for (const QByteArray &name : names)
            entry(relative.isEmpty() ? name : relative + '/' + name);
    }

private:
    void fail(const QByteArray &relative, const QString &reason)
    {
        errors->append(QStringLiteral("release entry \"%1\" %2").arg(shown(relative), reason));
    }

    void entry(const QByteArray &relative)
    {
        const QString key = QString::fromUtf8(relative);
        if (key.toUtf8() != relative || key.contains(QChar::ReplacementCharacter)) {
            fail(relative, QStringLiteral("has a name that is not valid UTF-8"));
            return;
        }
        const QString name = key.section(QLatin1Char('/'), -1);
        const QString folded = key.toCaseFolded();
        const auto seen = keys.constFind(folded);
        if (seen != keys.constEnd()) {
            fail(relative, QStringLiteral("differs from \"%1\" only in case").arg(seen.value()));
            return;
        }
        keys.insert(folded, key);
        QString reason = windows_reason(name);
        const QByteArray path = root + '/' + relative;
        struct stat st;
        if (reason.isEmpty() && ::lstat(path.constData(), &st) != 0)
            reason = QStringLiteral("cannot be examined");
        if (!reason.isEmpty()) {
            fail(relative, reason);
            return;
        }
        if (S_ISDIR(st.st_mode)) {
            folder(relative);
            return;
        }
        QByteArray target = path;
        if (S_ISLNK(st.st_mode)) {
            if (!follow) {
                fail(relative, QStringLiteral("is a symbolic link (see --follow-internal-links)"));
                return;
            }
            const QString resolved = QFileInfo(QFile::decodeName(path)).canonicalFilePath();
            target = QFile::encodeName(resolved);
            if (resolved.isEmpty() || !target.startsWith(root + '/') ||
                ::lstat(target.constData(), &st) != 0 || !S_ISREG(st.st_mode)) {
                fail(relative,
                     QStringLiteral("is a symbolic link that does not lead to a "
                                    "regular file inside the release"));
                return;
            }
        }
        if (!S_ISREG(st.st_mode)) {
            fail(relative, QStringLiteral("is a FIFO, socket or device, not a regular file"));
            return;
        }
        const int fd = ::open(target.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) {
            fail(relative, QStringLiteral("cannot be read"));
            return;
        }
        ::close(fd);
        reason = unusable_key_reason(key);
        if (!reason.isEmpty()) {
            fail(relative, reason);
            return;
        }
        files->append({key, QFile::decodeName(target), qint64(st.st_size)});
    }

    const QByteArray root;
    const bool follow;
    QVector<ReleaseFile> *files;
    QStringList *errors;
    QHash<QString, QString> keys; // case-folded key -> key
};

} // namespace

QString unusable_key_reason(const QString &key)
{
    if (key.contains(QLatin1Char('\\')))
        return QStringLiteral("contains a backslash");
    if (key.contains(QLatin1Char(':')))
        return QStringLiteral("contains a colon");
    for (const QChar c : {QLatin1Char('#'), QLatin1Char('?'), QLatin1Char('%')}) {
        if (key.contains(c))
            return QStringLiteral("contains \"%1\", which would change its download address")
                .arg(c);
    }
    if (!safe_path::is_relative_path(key))
        return QStringLiteral("is not a plain relative path (absolute, empty part or \"..\")");
    for (const QString &segment : key.split(QLatin1Char('/'))) {
        const QString reason = windows_reason(segment);
        if (!reason.isEmpty())
            return reason;
    }
    return QString();
}

bool scan_release(const QString &dir, bool follow_internal_links, QVector<ReleaseFile> *files,
                  QStringList *errors)
{
    const QString root = QFileInfo(dir).canonicalFilePath();
    if (root.isEmpty() || !QFileInfo(root).isDir()) {
        errors->append(QStringLiteral("the release folder %1 does not exist").arg(dir));
        return false;
    }
    Scanner(QFile::encodeName(root), follow_internal_links, files, errors).folder(QByteArray());
    std::sort(files->begin(), files->end(),
              [](const ReleaseFile &a, const ReleaseFile &b) { return a.key < b.key; });
    return errors->isEmpty();
}
