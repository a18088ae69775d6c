#include "file_publisher.h"

#include "bz2_compress.h"
#include "hash_text.h"
#include "patch_format.h"
#include "patch_names.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

#include <cstdio>
#include <unistd.h>

namespace {

const QString ARCHIVE_SUFFIX = QStringLiteral(".bz2");
const QString PENDING_SUFFIX = QStringLiteral(".publishing");
const QString PATCH_FOLDER = QStringLiteral("patches/");

// Puts a copy of source at target: a hard link where the file system allows
// it (published files are replaced, never changed in place), else a copy.
bool link_or_copy(const QString &source, const QString &target)
{
    QFile::remove(target);
    return ::link(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) ==
        0 ||
        QFile::copy(source, target);
}

// Replaces target with source in one step.
bool replace(const QString &source, const QString &target)
{
    return std::rename(QFile::encodeName(source).constData(),
                       QFile::encodeName(target).constData()) == 0;
}

bool same_file(const QString &a, const QString &b)
{
    const QString canonical = QFileInfo(a).canonicalFilePath();
    return !canonical.isEmpty() && canonical == QFileInfo(b).canonicalFilePath();
}

} // namespace

FilePublisher::FilePublisher(const PublishOptions &options, const QList<PreviousVersion> &previous,
                             const QString &scratch_dir)
    : options(options), previous(previous), scratch_dir(scratch_dir)
{
}

QString FilePublisher::out_path(const QString &relative) const
{
    return options.out_dir + QLatin1Char('/') + relative;
}

// Archive first (patches are judged against its size), then the patches, and
// only then the archive is moved into place: the old archive at that place
// may be the source of a patch when the output is also the earlier version.
FileOutcome FilePublisher::publish(const ReleaseFile &file, int index) const
{
    FileOutcome out;
    out.key = file.key;
    out.size = file.size;
    const QString hash = file_hash_text(file.path);
    if (hash.isEmpty()) {
        out.error = QStringLiteral("cannot read %1").arg(file.path);
        return out;
    }
    const QString archive = out_path(file.key + ARCHIVE_SUFFIX);
    QDir().mkpath(QFileInfo(archive).absolutePath());
    const QString pending = prepare_archive(file, hash, &out);
    if (!out.error.isEmpty())
        return out;
    out.archive_bytes = QFileInfo(pending.isEmpty() ? archive : pending).size();

    QStringList added;
    QStringList sources {hash};
    for (int i = 0; i < qMin(options.patch_history, previous.size()); ++i) {
        const QString source_hash = previous[i].hash(file.key);
        if (source_hash.isEmpty() || sources.contains(source_hash))
            continue;
        sources.append(source_hash);
        const QString name = patch_from(i, file, source_hash, hash,
                                        pending.isEmpty() ? archive : pending, &out, index);
        if (!name.isEmpty())
            added.append(name);
    }
    const QStringList kept = keep_earlier_patches(file, hash, added, &out);

    if (!pending.isEmpty() && !replace(pending, archive)) {
        out.error = QStringLiteral("cannot move the archive into place at %1").arg(archive);
        return out;
    }
    const int slash = file.key.lastIndexOf(QLatin1Char('/'));
    out.entry.insert("path", slash < 0 ? QString() : file.key.left(slash));
    out.entry.insert("hash", hash);
    out.entry.insert("patches", QJsonArray::fromStringList(added + kept));
    return out;
}

QString FilePublisher::prepare_archive(const ReleaseFile &file, const QString &hash,
                                       FileOutcome *out) const
{
    const QString archive = out_path(file.key + ARCHIVE_SUFFIX);
    const QString pending = archive + PENDING_SUFFIX;
    for (const PreviousVersion &version : previous) {
        const QString earlier = version.archive_path(file.key);
        if (earlier.isEmpty() || version.hash(file.key) != hash)
            continue;
        if (same_file(earlier, archive))
            return QString(); // already in place
        if (link_or_copy(earlier, pending))
            return pending;
    }
    out->compressed = true;
    QString error;
    if (!bz2_compress_file(file.path, pending, &error)) {
        QFile::remove(pending);
        out->error = error;
    }
    return pending;
}

QString FilePublisher::patch_from(int i, const ReleaseFile &file, const QString &source_hash,
                                  const QString &hash, const QString &archive, FileOutcome *out,
                                  int index) const
{
    const PreviousVersion &version = previous[i];
    const QString name = patch_name_for(file.key, source_hash, hash);
    const QString target = out_path(PATCH_FOLDER + name + ARCHIVE_SUFFIX);
    if (QFileInfo(target).isFile()) {
        ++out->patches_kept;
        return name;
    }
    for (const PreviousVersion &other : previous) {
        const QString published = other.patch_path(name);
        if (!published.isEmpty() && link_or_copy(published, target)) {
            ++out->patches_kept;
            return name;
        }
    }

    QString error;
    const QString scratch = QStringLiteral("%1/%2-%3").arg(scratch_dir).arg(index).arg(i);
    const QString old_content = version.content_path(file.key, scratch, &error);
    const QString pending = target + PENDING_SUFFIX;
    PatchResult made {false, error, PatchError::Unreadable};
    if (!old_content.isEmpty())
        made = make_patch_file(old_content, file.path, pending,
                               options.patch_level > 0 ? options.patch_level : DEFAULT_PATCH_LEVEL);
    QFile::remove(scratch);
    if (!made.ok) {
        out->notes.append(QStringLiteral("no patch from %1: %2").arg(source_hash, made.message));
        QFile::remove(pending);
        return QString();
    }
    if (QFileInfo(pending).size() > QFileInfo(archive).size()) {
        out->notes.append(
            QStringLiteral("patch from %1 skipped: larger than the archive").arg(source_hash));
        QFile::remove(pending);
        return QString();
    }
    if (!replace(pending, target)) {
        out->notes.append(
            QStringLiteral("no patch from %1: cannot write %2").arg(source_hash, target));
        QFile::remove(pending);
        return QString();
    }
    ++out->patches_made;
    return name;
}

QStringList FilePublisher::keep_earlier_patches(const ReleaseFile &file, const QString &hash,
                                                const QStringList &added, FileOutcome *out) const
{
    if (previous.isEmpty() || !previous.first().is_output())
        return {};
    const PreviousVersion &newest = previous.first();
    QStringList kept;
    for (const QString &name :
         patches_to_keep(newest.patches(file.key), added, hash, options.patch_history)) {
        const QString target = out_path(PATCH_FOLDER + name + ARCHIVE_SUFFIX);
        const QString published = newest.patch_path(name);
        if (QFileInfo(target).isFile() ||
            (!published.isEmpty() && link_or_copy(published, target))) {
            kept.append(name);
            ++out->patches_kept;
        } else {
            out->notes.append(
                QStringLiteral("earlier patch %1 dropped: its file is missing").arg(name));
        }
    }
    return kept;
}
