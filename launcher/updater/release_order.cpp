#include "updater/release_order.h"

#include "atomic_file.h"
#include "files/plain_file.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QUrl>
#include <QtDebug>

#include <algorithm>

namespace {

// Far more than any number of distributions needs; a bigger file is not ours.
constexpr qint64 MAX_FILE_SIZE = 64 * 1024;
constexpr int DIGEST_HEX_LENGTH = 64;

// The file's bytes when it is a plain file of a sensible size.
bool read_plain_file(const QString &path, QByteArray &data)
{
    QFile file;
    if (!plain_file::open_for_reading(path, file))
        return false;
    data = file.read(MAX_FILE_SIZE + 1);
    return data.size() <= MAX_FILE_SIZE;
}

bool is_digest_hex(const QByteArray &text)
{
    return text.size() == DIGEST_HEX_LENGTH &&
        std::all_of(text.cbegin(), text.cend(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

// Guards what this process accepted: the manifest reads of a run happen on
// pool threads.
QMutex memory_lock;

QString folder_key(const QString &folder)
{
    return QDir(folder).absolutePath();
}

} // namespace

QString ReleaseOrder::file_name()
{
    return QStringLiteral(".saltmarch-releases");
}

void ReleaseOrder::merge(QHash<QString, Accepted> &into, const QString &name,
                         const Accepted &accepted)
{
    Accepted &known = into[name];
    if (accepted.sequence > known.sequence)
        known = accepted;
    else if (accepted.sequence == known.sequence && known.digest.isEmpty())
        known.digest = accepted.digest;
}

void ReleaseOrder::load(const QString &folder)
{
    accepted.clear();
    QByteArray data;
    if (read_plain_file(QDir(folder).filePath(file_name()), data)) {
        for (const QByteArray &line : data.split('\n')) {
            const QList<QByteArray> fields = line.split(' ');
            bool ok = false;
            const qint64 sequence =
                fields.size() == 2 || fields.size() == 3 ? fields[1].toLongLong(&ok) : -1;
            const QString name = QUrl::fromPercentEncoding(fields.value(0)).toLower();
            const QByteArray digest = fields.size() == 3 ? fields[2] : QByteArray();
            if (ok && sequence >= 0 && !name.isEmpty() &&
                (digest.isEmpty() || is_digest_hex(digest)))
                merge(accepted, name, {sequence, digest});
        }
    }
    QMutexLocker locker(&memory_lock);
    const QHash<QString, Accepted> known = remembered().value(folder_key(folder));
    for (auto it = known.cbegin(); it != known.cend(); ++it)
        merge(accepted, it.key(), it.value());
}

QHash<QString, QHash<QString, ReleaseOrder::Accepted>> &ReleaseOrder::remembered()
{
    static QHash<QString, QHash<QString, Accepted>> by_folder;
    return by_folder;
}

qint64 ReleaseOrder::highest(const QString &distribution) const
{
    return accepted.value(distribution.toLower()).sequence;
}

ReleaseOrder::Verdict ReleaseOrder::check(const QString &distribution, qint64 sequence,
                                          const QByteArray &manifest_digest) const
{
    const Accepted known = accepted.value(distribution.toLower());
    if (sequence < known.sequence)
        return Verdict::Older;
    if (sequence == known.sequence && !known.digest.isEmpty() &&
        known.digest != manifest_digest.toHex())
        return Verdict::OtherRelease;
    return Verdict::Allowed;
}

bool ReleaseOrder::accept(const QString &folder, const QString &distribution, qint64 sequence,
                          const QByteArray &manifest_digest)
{
    const QString name = distribution.toLower();
    const Accepted before = accepted.value(name);
    merge(accepted, name, {sequence, manifest_digest.toHex()});
    const Accepted now = accepted.value(name);
    {
        QMutexLocker locker(&memory_lock);
        remembered()[folder_key(folder)].insert(name, now);
    }
    if (now.sequence == before.sequence && now.digest == before.digest)
        return true;
    if (write(folder))
        return true;
    qWarning("saltmarch: cannot write %s in %s: the release order holds only while the "
             "launcher runs",
             qPrintable(file_name()), qPrintable(QDir::toNativeSeparators(folder)));
    return false;
}

bool ReleaseOrder::write(const QString &folder) const
{
    QStringList names = accepted.keys();
    std::sort(names.begin(), names.end());
    QByteArray data;
    for (const QString &name : qAsConst(names)) {
        const Accepted &known = accepted[name];
        const QByteArray head =
            QUrl::toPercentEncoding(name) + ' ' + QByteArray::number(known.sequence);
        // The line of two fields is the one earlier launchers read.
        data += head + '\n';
        if (!known.digest.isEmpty())
            data += head + ' ' + known.digest + '\n';
    }
    // Whatever else stands at the name (a link, a FIFO) is replaced by the
    // rename; an empty folder is removed first.
    const QString path = QDir(folder).filePath(file_name());
    const QFileInfo existing(path);
    if (existing.isDir() && !existing.isSymLink())
        QDir(folder).rmdir(file_name());
    return atomic_file::write(path, data);
}
