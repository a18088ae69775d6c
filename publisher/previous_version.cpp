#include "previous_version.h"

#include "manifest_entry.h"
#include "manifest_facts.h"
#include "update_layout.h"

#include "archive_check.h"
#include "hash_text.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace {
const QString ARCHIVE_SUFFIX = update_layout::archive_suffix();
const QString PATCH_FOLDER = QStringLiteral("/patches/");
} // namespace

bool PreviousVersion::load(const QString &dir, QString *error)
{
    root = QDir(dir).absolutePath();
    if (!QFileInfo(root).isDir()) {
        *error = QStringLiteral("the earlier version %1 is not a folder (for a first release, "
                                "leave out --previous)")
                     .arg(dir);
        return false;
    }
    const QString manifest_path = root + QLatin1Char('/') + update_layout::manifest_file();
    QFile manifest(manifest_path);
    if (!manifest.exists()) {
        // A published tree without its manifest must not pass for a release
        // folder: its patches would silently be lost.
        const bool published = QFileInfo(root + PATCH_FOLDER).isDir() ||
            !QDir(root).entryList({"*" + ARCHIVE_SUFFIX}, QDir::Files).isEmpty();
        if (published) {
            *error = QStringLiteral("the earlier output %1 has no manifest %2")
                         .arg(dir, update_layout::manifest_file());
            return false;
        }
        return true; // a release folder
    }
    QJsonParseError parsed;
    const QJsonDocument document = manifest.open(QIODevice::ReadOnly)
        ? QJsonDocument::fromJson(manifest.readAll(), &parsed)
        : QJsonDocument();
    const QJsonValue files = document.object().value(update_layout::key_files());
    if (document.isNull() || !files.isObject()) {
        *error = QStringLiteral("the manifest %1 of the earlier output cannot be read or is "
                                "damaged")
                     .arg(manifest_path);
        return false;
    }
    output = true;
    manifest_sequence = ManifestFacts::read(document.object()).sequence;
    const QJsonObject list = files.toObject();
    for (auto it = list.constBegin(); it != list.constEnd(); ++it) {
        const ManifestEntry listed = ManifestEntry::read(it.value());
        Entry entry {listed.hash, {}};
        for (const QJsonValue &patch : listed.patches)
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
    QFile scratch(scratch_path);
    ArchiveContent content;
    QString why;
    if (!scratch.open(QIODevice::WriteOnly) || !read_archive(archive, &content, &why, &scratch) ||
        !scratch.flush()) {
        *error = why.isEmpty() ? QStringLiteral("cannot write %1").arg(scratch_path) : why;
        return QString();
    }
    if (content.hash != entries.value(key).hash) {
        *error = QStringLiteral("its archive in %1 does not match the manifest").arg(root);
        return QString();
    }
    return scratch_path;
}
