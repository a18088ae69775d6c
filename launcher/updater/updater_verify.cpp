#include "updater/updater.h"

#include "manifest_entry.h"
#include "safe_path.h"

#include "files/open_folder.h"
#include "updater/file_hasher.h"
#include "updater/patch_planner.h"
#include "updater/verify_cache.h"

#include <QDir>
#include <QSet>
#include <QStringList>
#include <QVector>

#include <algorithm>

namespace {

// A listed file that passed the safety rules, waiting for its hash text.
struct ListedFile
{
    QString name;
    QString expected_hash;
    QJsonArray patches;
    qint64 expected_size;
};

// Hash texts of the listed files, in their order: from the verification cache
// for files whose stat data show them unchanged since the cache read them,
// read from disk for the rest. Writes the cache back with every hash text at
// hand. A manifest that lists the cache's own name leaves the cache alone:
// that name then belongs to a game file.
QStringList hash_listed_files(const QVector<ListedFile> &listed, const QStringList &local_paths,
                              bool full_verification, qint64 &hashed_file_count)
{
    const QDir dir = QDir::current();
    const QString cache_path = QDir::cleanPath(dir.absoluteFilePath(VerifyCache::file_name()));
    VerifyCache::Entry cache_stat;
    const bool cache_exists = VerifyCache::stat_file(cache_path, cache_stat);
    bool use_cache = true;
    const qint64 checked_ns = VerifyCache::now_ns();
    QVector<VerifyCache::Entry> stats(listed.size());
    QVector<bool> have_stat(listed.size());
    for (int i = 0; i < listed.size(); ++i) {
        have_stat[i] = VerifyCache::stat_file(local_paths[i], stats[i]);
        stats[i].checked_ns = checked_ns;
        if (QDir::cleanPath(local_paths[i]) == cache_path ||
            (cache_exists && have_stat[i] && stats[i].same_file(cache_stat)))
            use_cache = false;
    }

    VerifyCache cache;
    if (use_cache)
        cache.load(dir.path());
    QStringList hashes;
    QVector<int> read_index;
    QVector<bool> reused(listed.size());
    for (int i = 0; i < listed.size(); ++i) {
        QString hash;
        reused[i] = !full_verification && have_stat[i] &&
            cache.reusable_hash(listed[i].name, stats[i], hash);
        if (!reused[i])
            read_index.append(i);
        hashes.append(hash);
    }
    // Largest files first, so that no large file listed late leaves one
    // thread reading it while the others have nothing left to do.
    std::stable_sort(read_index.begin(), read_index.end(),
                     [&stats](int a, int b) { return stats[a].size > stats[b].size; });
    QStringList to_read;
    for (int i : qAsConst(read_index))
        to_read.append(local_paths[i]);
    const QStringList read = FileHasher::hash_texts(to_read);
    hashed_file_count += read.size();
    for (int i = 0; i < read.size(); ++i)
        hashes[read_index[i]] = read[i];
    if (!use_cache)
        return hashes;

    // Entries of files this manifest does not list stay while they still
    // describe the file (another manifest may list it); others go.
    const QHash<QString, VerifyCache::Entry> previous = cache.get_entries();
    cache.clear();
    QSet<QString> names;
    for (const ListedFile &file : listed)
        names.insert(file.name);
    for (auto it = previous.cbegin(); it != previous.cend(); ++it) {
        VerifyCache::Entry now;
        if (!names.contains(it.key()) &&
            VerifyCache::stat_file(dir.absoluteFilePath(it.key()), now) && it->same_file(now))
            cache.insert(it.key(), *it);
    }
    for (int i = 0; i < listed.size(); ++i) {
        // A reused hash text keeps the time of the reading that produced it.
        if (reused[i]) {
            cache.insert(listed[i].name, previous.value(listed[i].name));
        } else if (have_stat[i] && !hashes[i].isEmpty()) {
            VerifyCache::Entry entry = stats[i];
            entry.hash = hashes[i];
            cache.insert(listed[i].name, entry);
        }
    }
    cache.save(dir.path());
    return hashes;
}

// Whether the listed file `key` may be written: every folder on its way is a
// plain folder or a link of the player's own (OpenFolder), and the file
// itself is no link. A folder that does not exist yet refuses nothing.
bool may_write(const QString &key)
{
    QString leaf;
    OpenFolder::Status status;
    const OpenFolder folder = OpenFolder::open_parent(key, leaf, status);
    if (status == OpenFolder::Status::Refused)
        return false;
    return !folder.is_open() || !folder.entry_info(leaf).is_link;
}

// Creates `folder` where it is missing, walking it as may_write does; false
// when a link on its way is refused.
bool make_folder(const QString &folder)
{
    OpenFolder::Status status;
    OpenFolder::open(folder, true, status);
    return status != OpenFolder::Status::Refused;
}

} // namespace

// In four passes that give the same result as checking one file after the
// other: (1) in key order, refuse unsafe entries (recording them) and create
// each directory, walking folder by folder (OpenFolder: the player's own
// folder links are followed, others refused); (2) take each accepted file's
// stat data and reuse the hash text of the verification cache where they
// show the file unchanged; (3) hash the other files on every core; (4) in
// key order, drop any earlier record of the name and queue the stale files.
// Creating directories first changes no hash text: a directory never opens
// as a file, and a file is never turned into a directory.
void Updater::verify_files(const QJsonObject &files, const QUrl &base)
{
    const QStringList keys = files.keys();
    const QDir dir = QDir::current();

    QVector<ListedFile> listed;
    QStringList local_paths;
    QSet<QString> refused(refused_files.cbegin(), refused_files.cend());
    auto refuse = [this, &refused](const QString &key) {
        if (!refused.contains(key)) {
            refused.insert(key);
            refused_files.append(key);
        }
    };
    for (const QString &key : keys) {
        const ManifestEntry entry = ManifestEntry::read(files.value(key));
        if (!safe_path::is_relative_path(key) || !may_write(key)) {
            refuse(key);
            continue;
        }
        const QString &path = entry.path;
        if (!path.isEmpty()) {
            const QString folder = safe_path::normalised_folder(path);
            if (!safe_path::is_relative_path(folder) || !make_folder(folder)) {
                refuse(key);
                continue;
            }
        }
        listed.append(ListedFile {key, entry.hash, entry.patches, entry.size});
        local_paths.append(dir.absoluteFilePath(key));
    }

    const QStringList local_hashes =
        hash_listed_files(listed, local_paths, full_verification, hashed_file_count);

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
        FileRecord record {base, file.name,         local_hashes[i], file.expected_hash,
                           {},   file.expected_size};
        plan_patch_chain(record.patch_chain, record.local_hash, record.expected_hash, file.patches);
        file_queue.enqueue(record);
    }
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
