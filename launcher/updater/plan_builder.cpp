#include "updater/plan_builder.h"

#include "manifest_entry.h"
#include "safe_path.h"

#include "files/folder_cursor.h"
#include "files/open_folder.h"
#include "updater/file_hasher.h"
#include "updater/patch_planner.h"
#include "updater/verify_cache.h"

#include <QDir>
#include <QFile>
#include <QSet>
#include <QStringList>
#include <QVector>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace {

// Files from this size on take long enough to read that their order matters.
constexpr qint64 LARGE_FILE_SIZE = 1 << 20;

// A listed file that passed the safety rules, and what its check found.
struct ListedFile
{
    QString name;
    // What the manifest says of it ("path" aside).
    ManifestEntry listed;
    // A link of the player's own in the file's place, open at what it leads
    // to: read from there, never by its path.
    std::shared_ptr<QFile> linked;
    // stat data of the file (of what a link leads to), taken before it is
    // read; valid when have_stat.
    VerifyCache::Entry stat;
    bool have_stat = false;
    // The verification cache's entry of this name, and whether it gives the
    // hash text (the file unchanged since): -1 when there is none.
    int cache_entry = -1;
    bool reused = false;
    // The outcome: current, or else the local hash text ("" for a file that
    // cannot be read); the whole digest text it comes from.
    bool current = false;
    QString local_hash;
    QString local_digest;

    void settle(const QString &digest)
    {
        local_digest = digest;
        local_hash = digest.left(HASH_TEXT_LENGTH);
        current = content_matches(digest, listed.hash, listed.sha256);
    }
};

// Creates `folder` where it is missing, walking it as OpenFolder does; false
// when a link on its way is refused.
bool make_folder(const GameFolder &game, const QString &folder)
{
    OpenFolder::Status status;
    game.open(folder, true, status);
    return status != OpenFolder::Status::Refused;
}

// Whether `folder` is the folder that holds `file`, whose name in it is `leaf`.
bool holds(const QString &folder, const QString &file, const QString &leaf)
{
    return file.size() == folder.size() + 1 + leaf.size() && file.startsWith(folder) &&
        file.at(folder.size()) == QLatin1Char('/');
}

// Whether the cache may be used beside these files: none of them is the
// cache file itself, by its name or by a link to it.
bool cache_usable(const GameFolder &game, const QVector<ListedFile> &listed)
{
    const QString cache_name = VerifyCache::file_name();
    FileIdentity cache_stat;
    const bool cache_exists = FileIdentity::of_path(game.file_path(cache_name), cache_stat);
    for (const ListedFile &file : listed) {
        if (file.name.contains(cache_name) && QDir::cleanPath(file.name) == cache_name)
            return false;
        if (cache_exists && file.have_stat && file.stat.same_file(cache_stat))
            return false;
    }
    return true;
}

// Settles each listed file: current or not, and its local hash text. The hash
// text comes from the verification cache for files whose stat data show them
// unchanged since the cache read them; the others are read from disk. Writes
// the cache back with every hash text at hand. A manifest that lists the
// cache's own name leaves the cache alone: that name then belongs to a game
// file.
void settle_hashes(const GameFolder &game, QVector<ListedFile> &listed, bool full_verification,
                   qint64 &hashed_file_count)
{
    const bool use_cache = cache_usable(game, listed);
    VerifyCache cache;
    if (use_cache)
        cache.load(game.path());
    // Entries this manifest lists; the others are another manifest's.
    std::vector<char> listed_entry(size_t(cache.size()), 0);
    QVector<int> read_index;
    QVector<int> linked_index;
    for (int i = 0; i < listed.size(); ++i) {
        ListedFile &file = listed[i];
        file.cache_entry = cache.find(file.name);
        if (file.cache_entry >= 0) {
            listed_entry[size_t(file.cache_entry)] = 1;
            file.reused = !full_verification && file.have_stat &&
                cache.reusable_at(file.cache_entry, file.stat);
        }
        if (file.reused)
            file.settle(cache.digest_at(file.cache_entry));
        else if (file.linked)
            linked_index.append(i);
        else
            read_index.append(i);
    }
    // The few files behind links of the player's own, from what was opened.
    for (int i : qAsConst(linked_index))
        listed[i].settle(listed[i].linked->isOpen() ? read_digest_text(*listed[i].linked)
                                                    : QString());
    hashed_file_count += linked_index.size();

    // Large files first, largest first, so that no large file listed late
    // leaves one thread reading it while the others have nothing left to do;
    // the rest in key order, which keeps the files of a folder together.
    const auto large_end =
        std::stable_partition(read_index.begin(), read_index.end(),
                              [&listed](int i) { return listed[i].stat.size >= LARGE_FILE_SIZE; });
    std::stable_sort(read_index.begin(), large_end,
                     [&listed](int a, int b) { return listed[a].stat.size > listed[b].stat.size; });
    QStringList to_read;
    to_read.reserve(read_index.size());
    for (int i : qAsConst(read_index))
        to_read.append(listed[i].name);
    const QStringList read = FileHasher::digest_texts(to_read);
    hashed_file_count += read.size();
    for (int i = 0; i < read.size(); ++i)
        listed[read_index[i]].settle(read[i]);
    if (!use_cache)
        return;

    // Entries of files this manifest does not list stay while they still
    // describe the file (another manifest may list it); others go.
    for (int entry = 0; entry < int(listed_entry.size()); ++entry) {
        FileIdentity now;
        if (!listed_entry[size_t(entry)] &&
            !(FileIdentity::of_path(game.file_path(cache.name_at(entry).toString()), now) &&
              cache.entry_at(entry).same_file(now)))
            cache.remove_at(entry);
    }
    // A reused hash text keeps the time of the reading that produced it.
    cache.reserve(cache.size() + read.size() + linked_index.size());
    for (const ListedFile &file : qAsConst(listed)) {
        if (file.reused)
            continue;
        if (file.have_stat && !file.local_digest.isEmpty()) {
            VerifyCache::Entry entry = file.stat;
            entry.digest = file.local_digest;
            cache.insert(file.name, entry);
        } else if (file.cache_entry >= 0) {
            cache.remove_at(file.cache_entry);
        }
    }
    cache.save(game.path());
}

} // namespace

// In three passes that give the same result as checking one file after the
// other: (1) in key order, refuse unsafe entries (recording them), create each
// directory, walking folder by folder (OpenFolder: the player's own folder
// links are followed, others refused), and take each accepted file's stat
// data in the same look that refuses a link; (2) reuse the hash text of the
// verification cache where the stat data show the file unchanged, and hash
// the other files on every core; (3) in key order, drop any earlier record of
// the name and queue the stale files. Creating directories before reading
// changes no hash text: a directory never opens as a file, and a file is
// never turned into a directory.
void PlanBuilder::add_files(UpdatePlan &plan, const QJsonObject &files, const QUrl &base) const
{
    QSet<QString> refused(plan.refused_files.cbegin(), plan.refused_files.cend());
    auto refuse = [&plan, &refused](const QString &key) {
        if (!refused.contains(key)) {
            refused.insert(key);
            plan.refused_files.append(key);
        }
    };

    QVector<ListedFile> listed;
    listed.reserve(files.size());
    // The folders of the files, one after another (keys of one folder come
    // together); the last folder a "path" named that is known to be there.
    FolderCursor parents(game_folder);
    QString ready_folder;
    const qint64 checked_ns = FileIdentity::now_ns();
    for (auto it = files.constBegin(); it != files.constEnd(); ++it) {
        const QString key = it.key();
        if (!safe_path::is_relative_path(key) || safe_path::refused_by_system(key)) {
            refuse(key);
            continue;
        }
        // Every folder on the file's way is a plain folder or a link of the
        // player's own, and so is the file itself. A folder that does not
        // exist yet refuses nothing.
        QString leaf;
        OpenFolder::Status status;
        const OpenFolder &parent = parents.open_parent(key, leaf, status);
        if (status == OpenFolder::Status::Refused) {
            refuse(key);
            continue;
        }
        const OpenFolder::EntryInfo info =
            parent.is_open() ? parent.entry_info(leaf) : OpenFolder::EntryInfo();
        std::shared_ptr<QFile> linked;
        if (info.is_link) {
            linked = parent.open_for_reading(leaf, status);
            if (status == OpenFolder::Status::Refused) {
                refuse(key);
                continue;
            }
        }
        const ManifestEntry entry = ManifestEntry::read(it.value());
        // A patch is stored under its own name while it is applied.
        if (std::any_of(entry.patches.begin(), entry.patches.end(), [](const QJsonValue &patch) {
                return safe_path::refused_by_system(patch.toString());
            })) {
            refuse(key);
            continue;
        }
        if (!entry.path.isEmpty()) {
            const QString folder = safe_path::normalised_folder(entry.path);
            if (!safe_path::is_relative_path(folder) || safe_path::refused_by_system(folder)) {
                refuse(key);
                continue;
            }
            // The file's own folder, just opened, needs no second walk.
            if (folder != ready_folder) {
                if (!(parent.is_open() && holds(folder, key, leaf)) &&
                    !make_folder(game_folder, folder)) {
                    refuse(key);
                    continue;
                }
                ready_folder = folder;
            }
        }

        ListedFile file;
        file.name = key;
        file.listed = entry;
        if (info.is_link) {
            // A missing target reads as a missing file.
            file.linked = linked ? linked : std::make_shared<QFile>();
            file.have_stat = linked && FileIdentity::of_open(*linked, file.stat);
        } else if (info.is_regular) {
            static_cast<FileIdentity &>(file.stat) = info.identity;
            file.have_stat = true;
        }
        file.stat.checked_ns = checked_ns;
        listed.append(std::move(file));
    }

    settle_hashes(game_folder, listed, full_verification, plan.hashed_files);

    // Names planned by an earlier manifest are decided again by this one;
    // keys are unique within it.
    if (!plan.files.isEmpty()) {
        QSet<QString> planned;
        for (const FileRecord &record : qAsConst(plan.files))
            planned.insert(record.name);
        QSet<QString> decided_again;
        for (const ListedFile &file : qAsConst(listed)) {
            if (planned.contains(file.name))
                decided_again.insert(file.name);
        }
        if (!decided_again.isEmpty()) {
            QQueue<FileRecord> kept;
            for (const FileRecord &record : qAsConst(plan.files)) {
                if (!decided_again.contains(record.name))
                    kept.enqueue(record);
            }
            plan.files.swap(kept);
        }
    }
    for (const ListedFile &file : qAsConst(listed)) {
        if (file.current)
            continue;
        FileRecord record;
        record.base_url = base;
        record.name = file.name;
        record.local_hash = file.local_hash;
        record.expected_hash = file.listed.hash;
        record.expected_size = file.listed.size;
        record.expected_sha256 = file.listed.sha256;
        // A link is replaced by the whole new file: a patch would read
        // through it.
        if (!file.linked)
            plan_patch_chain(record.patch_chain, record.local_hash, record.expected_hash,
                             file.listed.patches);
        plan.files.enqueue(record);
    }
}

QString PlanBuilder::file_hash(const QString &path)
{
    return FileHasher::hash_text(path);
}

void PlanBuilder::plan_patch_chain(QQueue<PatchStep> &chain, const QString &local_hash,
                                   const QString &expected_hash, const QJsonArray &patches)
{
    PatchPlanner::plan(chain, local_hash, expected_hash, patches);
}
