#include "updater/updater.h"

#include "updater/file_hasher.h"
#include "updater/patch_planner.h"
#include "updater/safe_path.h"

#include <QDir>
#include <QSet>
#include <QStringList>
#include <QVector>

namespace {

const QString KEY_PATH = QStringLiteral("path");
const QString KEY_HASH = QStringLiteral("hash");
const QString KEY_PATCHES = QStringLiteral("patches");

// A listed file that passed the safety rules, waiting for its hash text.
struct ListedFile
{
    QString name;
    QString expected_hash;
    QJsonArray patches;
};

} // namespace

// In three passes that give the same result as checking one file after the
// other: (1) in key order, refuse unsafe entries and create each directory;
// (2) hash all accepted files on the free cores; (3) in key order, drop any
// earlier record of the name and queue the stale files. Creating directories
// first changes no hash text: a directory never opens as a file, and a file
// is never turned into a directory.
void Updater::verify_files(const QJsonObject &files, const QUrl &base)
{
    const QStringList keys = files.keys();
    const QDir dir = QDir::current();

    QVector<ListedFile> listed;
    QStringList local_paths;
    for (const QString &key : keys) {
        const QJsonObject entry = files.value(key).toObject();
        const QString path = entry.value(KEY_PATH).toString();
        if (!safe_path::is_safe_inside(dir, key))
            continue;
        if (!path.isEmpty()) {
            if (!safe_path::is_safe_inside(dir, path))
                continue;
            dir.mkpath(path);
        }
        listed.append(
            ListedFile {key, entry.value(KEY_HASH).toString(), entry.value(KEY_PATCHES).toArray()});
        local_paths.append(dir.absoluteFilePath(key));
    }

    const QStringList local_hashes = FileHasher::hash_texts(local_paths);

    // Names planned by an earlier manifest; keys are unique within this one.
    QSet<QString> planned;
    for (const FileRecord &record : qAsConst(file_queue))
        planned.insert(record.name);
    for (int i = 0; i < listed.size(); ++i) {
        const ListedFile &file = listed[i];
        if (planned.contains(file.name))
            file_queue.removeAll(FileRecord {QUrl(), file.name, QString(), QString(), {}});
        if (local_hashes[i] == file.expected_hash)
            continue;
        FileRecord record {base, file.name, local_hashes[i], file.expected_hash, {}};
        plan_patch_chain(record.patch_chain, record.local_hash, record.expected_hash, file.patches);
        file_queue.enqueue(record);
    }
}

bool Updater::file_is_current(const QString &path, const QString &expected_hash,
                              QString &local_hash)
{
    local_hash = file_hash(path);
    return local_hash == expected_hash;
}

QString Updater::file_hash(const QString &path)
{
    return FileHasher::hash_text(path);
}

void Updater::plan_patch_chain(QQueue<PatchStep> &chain, const QString &local_hash,
                               const QString &expected_hash, const QJsonArray &patches)
{
    PatchPlanner::plan(chain, local_hash, expected_hash, patches);
}
