#include "release_scan.h"

#include "updater/safe_path.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>

#include <algorithm>

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
    return QString();
}

bool scan_release(const QString &dir, QVector<ReleaseFile> *files, QString *error)
{
    const QDir root(dir);
    if (!root.exists()) {
        *error = QStringLiteral("the release folder %1 does not exist").arg(dir);
        return false;
    }
    QDirIterator it(root.absolutePath(), QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString key = root.relativeFilePath(path);
        const QString reason = unusable_key_reason(key);
        if (!reason.isEmpty()) {
            *error = QStringLiteral("release file \"%1\" %2").arg(key, reason);
            return false;
        }
        files->append({key, path, it.fileInfo().size()});
    }
    std::sort(files->begin(), files->end(),
              [](const ReleaseFile &a, const ReleaseFile &b) { return a.key < b.key; });
    return true;
}
