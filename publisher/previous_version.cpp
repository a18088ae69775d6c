#include "previous_version.h"

#include "app/constants.h"
#include "download/archive_extractor.h"
#include "hash_text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
const QString ARCHIVE_SUFFIX = QStringLiteral(".bz2");
const QString PATCH_FOLDER = QStringLiteral("/patches/");
} // namespace

bool PreviousVersion::load(const QString &dir, QString *error)
{
    root = QDir(dir).absolutePath();
    if (!QFileInfo(root).isDir()) {
        *error = QStringLiteral("the earlier version %1 is not a folder").arg(dir);
        return false;
    }
    QFile manifest(root + QLatin1Char('/') + MANIFEST_NAME);
    if (!manifest.open(QIODevice::ReadOnly))
        return true; // a release folder
    const QJsonObject files =
        QJsonDocument::fromJson(manifest.readAll()).object().value("files").toObject();
    if (files.isEmpty())
        return true;
    output = true;
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        const QJsonObject value = it.value().toObject();
        Entry entry {value.value("hash").toString(), {}};
        for (const QJsonValue &patch : value.value("patches").toArray())
            entry.patches.append(patch.toString());
        entries.insert(it.key(), entry);
    }
    return true;
}

QString PreviousVersion::hash(const QString &key) const
{
    if (output)
        return entries.value(key).hash;
    const QString path = root + QLatin1Char('/') + key;
    return QFileInfo(path).isFile() ? file_hash_text(path) : QString();
}

QStringList PreviousVersion::patches(const QString &key) const
{
    return entries.value(key).patches;
}

QString PreviousVersion::archive_path(const QString &key) const
{
    const QString path = root + QLatin1Char('/') + key + ARCHIVE_SUFFIX;
    return output && QFileInfo(path).isFile() ? path : QString();
}

QString PreviousVersion::patch_path(const QString &name) const
{
    const QString path = root + PATCH_FOLDER + name + ARCHIVE_SUFFIX;
    return output && QFileInfo(path).isFile() ? path : QString();
}

QString PreviousVersion::content_path(const QString &key, const QString &scratch_path,
                                      QString *error) const
{
    if (!output)
        return root + QLatin1Char('/') + key;
    const QString archive = archive_path(key);
    if (archive.isEmpty()) {
        *error = QStringLiteral("%1 has no archive of it").arg(root);
        return QString();
    }
    const ExtractOutcome outcome = extract_archive(archive, scratch_path);
    if (outcome.code != 0) {
        *error = QStringLiteral("%1 (%2)").arg(outcome.text).arg(outcome.code);
        return QString();
    }
    if (file_hash_text(scratch_path) != entries.value(key).hash) {
        *error = QStringLiteral("its archive in %1 does not match the manifest").arg(root);
        return QString();
    }
    return scratch_path;
}
