#include "updater/release_order.h"

#include "atomic_file.h"
#include "updater/verify_cache.h"

#include <QDir>
#include <QFile>
#include <QStringList>
#include <QUrl>

#include <algorithm>

namespace {

// Far more than any number of distributions needs; a bigger file is not ours.
constexpr qint64 MAX_FILE_SIZE = 64 * 1024;

// The file's bytes when it is a plain file of a sensible size.
bool read_plain_file(const QString &path, QByteArray &data)
{
    QFile file;
    if (!VerifyCache::open_plain_file(path, file))
        return false;
    data = file.read(MAX_FILE_SIZE + 1);
    return data.size() <= MAX_FILE_SIZE;
}

} // namespace

QString ReleaseOrder::file_name()
{
    return QStringLiteral(".saltmarch-releases");
}

void ReleaseOrder::load(const QString &folder)
{
    accepted.clear();
    QByteArray data;
    if (!read_plain_file(QDir(folder).filePath(file_name()), data))
        return;
    for (const QByteArray &line : data.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        bool ok = false;
        const qint64 sequence = fields.size() == 2 ? fields[1].toLongLong(&ok) : -1;
        const QString name = QUrl::fromPercentEncoding(fields.value(0)).toLower();
        if (ok && sequence >= 0 && !name.isEmpty())
            accepted.insert(name, qMax(sequence, accepted.value(name, -1)));
    }
}

qint64 ReleaseOrder::highest(const QString &distribution) const
{
    return accepted.value(distribution.toLower(), -1);
}

bool ReleaseOrder::allows(const QString &distribution, qint64 sequence) const
{
    return sequence >= highest(distribution);
}

bool ReleaseOrder::accept(const QString &folder, const QString &distribution, qint64 sequence)
{
    if (sequence <= highest(distribution))
        return true;
    accepted.insert(distribution.toLower(), sequence);
    QStringList names = accepted.keys();
    std::sort(names.begin(), names.end());
    QByteArray data;
    for (const QString &name : qAsConst(names))
        data += QUrl::toPercentEncoding(name) + ' ' + QByteArray::number(accepted.value(name)) +
            '\n';
    return atomic_file::write(QDir(folder).filePath(file_name()), data);
}
