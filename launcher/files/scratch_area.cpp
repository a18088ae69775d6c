#include "files/scratch_area.h"

#include "atomic_file.h"
#include "update_layout.h"

#include "files/folder_cursor.h"
#include "files/open_folder.h"
#include "files/safe_file.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

namespace {

const QString FOLDER = QStringLiteral(".saltmarch-update");
const QString PARTIAL_SUFFIX = update_layout::archive_suffix() + QStringLiteral(".part");
const QString NOTE_SUFFIX = QStringLiteral(".note");
const QString PATCH_SUFFIX = QStringLiteral(".patch");
const QString RESULT_SUFFIX = QStringLiteral(".patched");
const QString EXTRACTION_PREFIX = QStringLiteral(".");
const QString EXTRACTION_SUFFIX = QStringLiteral(".saltmarch-new");
// Notes are a few hundred bytes; anything bigger is not one of ours.
constexpr qint64 NOTE_LIMIT = 64 * 1024;

} // namespace

ScratchArea::ScratchArea(const GameFolder &game) : game(game), folder_path(game.file_path(FOLDER))
{
}

QString ScratchArea::folder() const
{
    return folder_path;
}

bool ScratchArea::ensure() const
{
    if (safe_file::is_plain_directory(folder_path))
        return true; // the common case, in one call
    const QFileInfo info(folder_path);
    if (info.isSymLink() || (info.exists() && !info.isDir()))
        safe_file::remove_entry(folder_path);
    if (!QFileInfo(folder_path).isDir() && !QDir(game.path()).mkdir(FOLDER))
        return false;
    const QFileInfo made(folder_path);
    return made.isDir() && !made.isSymLink();
}

QString ScratchArea::entry_stem(const QString &name) const
{
    const QByteArray digest = QCryptographicHash::hash(name.toUtf8(), QCryptographicHash::Sha256);
    return folder_path + QLatin1Char('/') + QString::fromLatin1(digest.toHex().left(24));
}

QString ScratchArea::partial_archive_path(const QString &name) const
{
    return entry_stem(name) + PARTIAL_SUFFIX;
}

QString ScratchArea::note_path(const QString &name) const
{
    return entry_stem(name) + NOTE_SUFFIX;
}

QString ScratchArea::patch_path(const QString &patch_name) const
{
    return entry_stem(patch_name) + PATCH_SUFFIX;
}

QString ScratchArea::patch_result_path(const QString &name) const
{
    return entry_stem(name) + RESULT_SUFFIX;
}

QString ScratchArea::extraction_name(const QString &file_name)
{
    return EXTRACTION_PREFIX + file_name + EXTRACTION_SUFFIX;
}

void ScratchArea::remove_extraction(const QString &target) const
{
    QString leaf;
    OpenFolder::Status status;
    const OpenFolder folder = game.open_parent(target, leaf, status);
    if (folder.is_open())
        folder.remove_entry(extraction_name(leaf));
}

bool ScratchArea::read_note(const QString &name, PartialNote &note) const
{
    const QString path = note_path(name);
    if (safe_file::plain_file_size(path) < 0)
        return false;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QJsonObject object = QJsonDocument::fromJson(file.read(NOTE_LIMIT)).object();
    note.name = object.value(QStringLiteral("name")).toString();
    note.expected_hash = object.value(QStringLiteral("hash")).toString();
    note.url = object.value(QStringLiteral("url")).toString();
    note.validator = object.value(QStringLiteral("validator")).toString().toLatin1();
    return note.name == name;
}

bool ScratchArea::write_note(const PartialNote &note) const
{
    const QJsonObject object {{QStringLiteral("name"), note.name},
                              {QStringLiteral("hash"), note.expected_hash},
                              {QStringLiteral("url"), note.url},
                              {QStringLiteral("validator"), QString::fromLatin1(note.validator)}};
    return atomic_file::write(note_path(note.name),
                              QJsonDocument(object).toJson(QJsonDocument::Compact));
}

bool ScratchArea::has_note(const QString &name) const
{
    return safe_file::entry_exists(note_path(name));
}

void ScratchArea::drop_partial(const QString &name) const
{
    safe_file::remove_entry(partial_archive_path(name));
    safe_file::remove_entry(note_path(name));
}

// The targets come in name order: each folder is walked once for its run
// of targets.
void ScratchArea::sweep(const QSet<QString> &keep, const QStringList &targets) const
{
    FolderCursor folders(game);
    for (const QString &target : targets) {
        QString leaf;
        OpenFolder::Status status;
        const OpenFolder &folder = folders.open_parent(target, leaf, status);
        if (folder.is_open())
            folder.remove_entry(extraction_name(leaf));
    }
    const QFileInfo info(folder_path);
    if (!info.isDir() || info.isSymLink())
        return;
    QSet<QString> kept;
    for (const QString &name : keep) {
        kept.insert(QFileInfo(partial_archive_path(name)).fileName());
        kept.insert(QFileInfo(note_path(name)).fileName());
    }
    const QDir dir(folder_path);
    const QStringList entries = dir.entryList(QDir::Files | QDir::Dirs | QDir::System |
                                              QDir::Hidden | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        if (kept.contains(entry))
            continue;
        const QString path = dir.filePath(entry);
        const QFileInfo entry_info(path);
        if (entry_info.isDir() && !entry_info.isSymLink())
            QDir(path).removeRecursively();
        else
            safe_file::remove_entry(path);
    }
}

void ScratchArea::remove_if_empty() const
{
    // rmdir takes only an empty folder, and no link.
    if (safe_file::is_plain_directory(folder_path))
        QDir(game.path()).rmdir(FOLDER);
}
