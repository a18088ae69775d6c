#include "file_publisher.h"

#include "update_layout.h"

#include "manifest_entry.h"

#include "archive_check.h"
#include "bz2_compress.h"
#include "hash_text.h"
#include "patch_format.h"
#include "patch_name.h"
#include "patch_names.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString ARCHIVE_SUFFIX = update_layout::archive_suffix();
const QString PATCH_FOLDER = update_layout::patch_folder();
// Test hook: the release file with this key gets one more byte right after
// it has been compressed, as if it were being written while published.
const char *const CHANGE_HOOK = "ORVEX_PUBLISHER_TEST_CHANGE";

// Puts a copy of source at target: a hard link where the file system allows
// it (published files are replaced, never changed in place), else a copy.
bool link_or_copy(const QString &source, const QString &target)
{
    QFile::remove(target);
    return ::link(QFile::encodeName(source).constData(), QFile::encodeName(target).constData()) ==
        0 ||
        QFile::copy(source, target);
}

// Size and modification time: if either moves while the file is published,
// its archive, hash and patches may not agree.
struct FileState
{
    qint64 size = -1;
    qint64 mtime_ns = -1;
    bool operator==(const FileState &o) const { return size == o.size && mtime_ns == o.mtime_ns; }
};

FileState state_of(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return {};
    return {qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

// An earlier tree that is damaged stops the run: taking over less than it
// lists would drop patch history without anyone deciding it.
QString damaged_earlier(const QString &what, const QString &why)
{
    return QStringLiteral("%1 is damaged (%2): repair the earlier tree (publisher --check shows "
                          "its faults), or publish without it and with --new-history to start "
                          "a new patch history")
        .arg(what, why);
}

QString changed(const QString &path)
{
    return QStringLiteral("%1 changed while it was published; publish again once it is "
                          "complete")
        .arg(path);
}

} // namespace

FilePublisher::FilePublisher(const PublishOptions &options, const QList<PreviousVersion> &previous,
                             const QString &out_dir, const QString &scratch_dir,
                             QThreadPool *compress_pool, std::atomic<qint64> *bytes_done)
    : options(options)
    , previous(previous)
    , out_dir(out_dir)
    , scratch_dir(scratch_dir)
    , compress_pool(compress_pool)
    , bytes_done(bytes_done)
{
}

QString FilePublisher::out_path(const QString &relative) const
{
    return out_dir + QLatin1Char('/') + relative;
}

FileOutcome FilePublisher::publish(const ReleaseFile &file, int index) const
{
    FileOutcome out;
    out.key = file.key;
    const FileState before = state_of(file.path);
    out.size = before.size;
    if (before.size < 0) {
        out.error = QStringLiteral("cannot read %1").arg(file.path);
        return out;
    }
    // Where an earlier output has an archive of the file, a digest of the
    // file tells whether it can be reused. An archive made here is hashed as
    // it is compressed, and that digest is the one listed.
    QString digest;
    const bool reusable = std::any_of(previous.cbegin(), previous.cend(), [&](const auto &v) {
        return !v.archive_path(file.key).isEmpty();
    });
    if (reusable && (digest = file_digest_text(file.path)).isEmpty()) {
        out.error = QStringLiteral("cannot read %1").arg(file.path);
        return out;
    }
    QString hash = digest.left(HASH_TEXT_LENGTH);
    const QString archive = out_path(file.key + ARCHIVE_SUFFIX);
    QDir().mkpath(QFileInfo(archive).absolutePath());
    const bool reused = !digest.isEmpty() && reuse_archive(file, digest, &out);
    if (!out.error.isEmpty())
        return out;
    if (reused && bytes_done)
        *bytes_done += before.size;
    if (!reused) {
        out.compressed = true;
        CompressedFile made;
        if (!bz2_compress_file(file.path, archive, compress_pool, &made, &out.error, bytes_done))
            return out;
        if (qgetenv(CHANGE_HOOK) == file.key.toUtf8()) {
            QFile grow(file.path);
            if (grow.open(QIODevice::Append))
                grow.write("+");
        }
        if (made.size != before.size || (!digest.isEmpty() && made.sha256 != digest)) {
            out.error = changed(file.path);
            return out;
        }
        hash = made.hash;
        digest = made.sha256;
    }
    out.archive_bytes = QFileInfo(archive).size();

    QStringList added;
    QStringList sources {hash};
    for (int i = 0; i < qMin(options.patch_history, previous.size()); ++i) {
        const QString source_hash = previous[i].hash(file.key);
        if (source_hash.isEmpty() || sources.contains(source_hash))
            continue;
        sources.append(source_hash);
        const QString name = patch_from(i, file, source_hash, hash, &out, index);
        if (!out.error.isEmpty())
            return out;
        if (!name.isEmpty())
            added.append(name);
    }
    const QStringList kept = keep_earlier_patches(file, hash, added, &out);
    if (!out.error.isEmpty())
        return out;
    if (!(state_of(file.path) == before)) {
        out.error = changed(file.path);
        return out;
    }
    const int slash = file.key.lastIndexOf(QLatin1Char('/'));
    ManifestEntry entry;
    entry.path = slash < 0 ? QString() : file.key.left(slash);
    entry.hash = hash;
    entry.size = before.size;
    entry.sha256 = digest;
    entry.patches = QJsonArray::fromStringList(added + kept);
    out.entry = entry.write();
    return out;
}

bool FilePublisher::reuse_archive(const ReleaseFile &file, const QString &digest,
                                  FileOutcome *out) const
{
    const QString archive = out_path(file.key + ARCHIVE_SUFFIX);
    const QString hash = digest.left(HASH_TEXT_LENGTH);
    for (const PreviousVersion &version : previous) {
        const QString earlier = version.archive_path(file.key);
        if (earlier.isEmpty() || version.hash(file.key) != hash)
            continue;
        ArchiveContent content;
        QString error;
        if (!read_archive(earlier, &content, &error) || content.hash != hash) {
            out->error = damaged_earlier(
                QStringLiteral("earlier archive %1").arg(earlier),
                error.isEmpty() ? QStringLiteral("it holds other content than its manifest lists")
                                : error);
            return false;
        }
        // Equal hash texts, other content: the archive is not this file's.
        if (content.sha256 != digest)
            continue;
        if (link_or_copy(earlier, archive))
            return true;
    }
    return false;
}

QString FilePublisher::patch_from(int i, const ReleaseFile &file, const QString &source_hash,
                                  const QString &hash, FileOutcome *out, int index) const
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
        if (published.isEmpty())
            continue;
        QString error;
        if (!check_patch_header(published, source_hash, hash, &error)) {
            out->error = damaged_earlier(QStringLiteral("earlier patch %1").arg(published), error);
            return QString();
        }
        if (link_or_copy(published, target)) {
            ++out->patches_kept;
            return name;
        }
    }

    QString error;
    const QString scratch = QStringLiteral("%1/%2-%3").arg(scratch_dir).arg(index).arg(i);
    const QString old_content = version.content_path(file.key, scratch, &error);
    if (old_content.isEmpty() && version.is_output()) {
        out->error = damaged_earlier(QStringLiteral("the earlier tree %1").arg(version.folder()),
                                     QStringLiteral("%1: %2").arg(file.key, error));
        return QString();
    }
    PatchResult made {false, error.toStdString(), PatchError::Unreadable};
    if (!old_content.isEmpty())
        made = make_patch_file(old_content, file.path, target,
                               options.patch_level > 0 ? options.patch_level : DEFAULT_PATCH_LEVEL);
    QFile::remove(scratch);
    if (!made.ok) {
        out->notes.append(QStringLiteral("no patch from %1: %2")
                              .arg(source_hash, QString::fromStdString(made.message)));
        QFile::remove(target);
        return QString();
    }
    // The patch read the file once more: it must lead to what was archived.
    if (!check_patch_header(target, source_hash, hash, &error)) {
        QFile::remove(target);
        out->error = changed(file.path);
        return QString();
    }
    if (QFileInfo(target).size() > out->archive_bytes) {
        out->notes.append(
            QStringLiteral("patch from %1 skipped: larger than the archive").arg(source_hash));
        QFile::remove(target);
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
        PatchName parsed;
        QString error;
        if (QFileInfo(target).isFile()) {
            kept.append(name);
            ++out->patches_kept;
        } else if (published.isEmpty()) {
            out->error = damaged_earlier(QStringLiteral("the earlier tree %1").arg(newest.folder()),
                                         QStringLiteral("its patch %1 is missing").arg(name));
        } else if (!PatchName::parse(name, parsed) ||
                   !check_patch_header(published, parsed.source_hash, parsed.result_hash, &error)) {
            out->error = damaged_earlier(QStringLiteral("earlier patch %1").arg(published),
                                         error.isEmpty() ? QStringLiteral("bad name") : error);
        } else if (link_or_copy(published, target)) {
            kept.append(name);
            ++out->patches_kept;
        } else {
            out->error =
                QStringLiteral("cannot put the earlier patch %1 into the new tree").arg(name);
        }
        if (!out->error.isEmpty())
            return {};
    }
    return kept;
}
