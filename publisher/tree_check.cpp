#include "tree_check.h"

#include "update_layout.h"

#include "archive_check.h"
#include "patch_name.h"
#include "publish_text.h"
#include "release_scan.h"

#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QThreadPool>
#include <QVector>
#include <QtConcurrent/QtConcurrentRun>

#include <cstdio>

namespace {

struct FileCheck
{
    QString key;
    QJsonObject entry;
    QStringList faults;
    qint64 bytes = 0;
    int patches = 0;
};

void check_file(const QString &root, FileCheck *check)
{
    const QString hash = check->entry.value(update_layout::key_hash()).toString();
    const QJsonValue size = check->entry.value(update_layout::key_size());
    const bool sized = !size.isUndefined();
    const QJsonValue sha256 = check->entry.value(update_layout::key_sha256());
    auto fault = [check](const QString &text) { check->faults.append(check->key + ": " + text); };
    if (!unusable_key_reason(check->key).isEmpty())
        fault(QStringLiteral("the key %1").arg(unusable_key_reason(check->key)));
    if (sized &&
        (!size.isDouble() || size.toDouble() < 0 ||
         size.toDouble() != double(qint64(size.toDouble()))))
        fault(QStringLiteral("\"size\" is not a whole number of bytes"));
    ArchiveContent content;
    QString error;
    const QString archive = update_layout::archive_address(root + QLatin1Char('/'), check->key);
    if (!QFileInfo(archive).isFile())
        fault(QStringLiteral("archive %1 is missing").arg(archive));
    else if (!read_archive(archive, &content, &error))
        fault(error);
    else if (content.hash != hash)
        fault(QStringLiteral("archive decompresses to %1, the manifest says %2")
                  .arg(content.hash, hash));
    else if (sha256.isString() && sha256.toString() != content.sha256)
        fault(QStringLiteral("archive decompresses to sha256 %1, the manifest says %2")
                  .arg(content.sha256, sha256.toString()));
    else if (!sha256.isUndefined() && !sha256.isString())
        fault(QStringLiteral("\"sha256\" is not a text"));
    else if (sized && content.size != qint64(size.toDouble()))
        fault(QStringLiteral("archive decompresses to %1 bytes, the manifest says %2")
                  .arg(content.size)
                  .arg(qint64(size.toDouble())));
    check->bytes = content.size;

    for (const QJsonValue &value : check->entry.value(update_layout::key_patches()).toArray()) {
        const QString name = value.toString();
        ++check->patches;
        PatchName parsed;
        if (!PatchName::parse(name, parsed)) {
            fault(QStringLiteral("patch name %1 does not name its hashes").arg(name));
            continue;
        }
        const QString path = update_layout::patch_address(root + QLatin1Char('/'), name);
        qint64 result_size = -1;
        if (!QFileInfo(path).isFile())
            fault(QStringLiteral("patch %1 is missing").arg(path));
        else if (!check_patch_header(path, parsed.source_hash, parsed.result_hash, &error,
                                     &result_size))
            fault(error);
        else if (sized && parsed.result_hash == hash && result_size != qint64(size.toDouble()))
            fault(QStringLiteral("patch %1 makes %2 bytes, the manifest says %3")
                      .arg(name)
                      .arg(result_size)
                      .arg(qint64(size.toDouble())));
    }
}

} // namespace

int check_tree(const QString &dir, int jobs)
{
    const QString manifest_path = dir + QLatin1Char('/') + update_layout::manifest_file();
    QFile manifest(manifest_path);
    const QJsonDocument document = manifest.open(QIODevice::ReadOnly)
        ? QJsonDocument::fromJson(manifest.readAll())
        : QJsonDocument();
    const QJsonValue files = document.object().value(update_layout::key_files());
    if (!files.isObject()) {
        std::fprintf(stderr, "publisher: %s cannot be read or has no \"files\" object\n",
                     qPrintable(manifest_path));
        return 1;
    }
    QVector<FileCheck> checks;
    const QJsonObject list = files.toObject();
    for (auto it = list.constBegin(); it != list.constEnd(); ++it)
        checks.append({it.key(), it.value().toObject(), {}, 0, 0});
    QThreadPool pool;
    pool.setMaxThreadCount(jobs);
    for (FileCheck &check : checks)
        QtConcurrent::run(&pool, [&dir, &check] { check_file(dir, &check); });
    pool.waitForDone();

    int faults = 0, patches = 0;
    qint64 bytes = 0;
    for (const FileCheck &check : checks) {
        for (const QString &fault : check.faults)
            std::fprintf(stderr, "publisher: %s\n", qPrintable(fault));
        faults += check.faults.size();
        patches += check.patches;
        bytes += check.bytes;
    }
    std::printf(
        "checked %s: %s (%s), %s, %s\n", qPrintable(dir),
        qPrintable(count_text(checks.size(), QStringLiteral("file"), QStringLiteral("files"))),
        qPrintable(size_text(bytes)),
        qPrintable(count_text(patches, QStringLiteral("patch"), QStringLiteral("patches"))),
        qPrintable(count_text(faults, QStringLiteral("fault"), QStringLiteral("faults"))));
    return faults == 0 ? 0 : 1;
}
