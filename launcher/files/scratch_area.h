#pragma once

#include "files/game_folder.h"

#include <QByteArray>
#include <QSet>
#include <QString>

// The launcher's hidden work folder inside a game folder. It holds downloads
// in progress: partial archives, kept across runs so that a cut transfer
// resumes, with a small note each of what they belong to, and patch files
// until the patch program has used them. Nothing else is ever written there
// and nothing of the player's is ever read from it. Each game folder has its
// own; paths it gives are absolute.
//
// Names inside are derived from the file's or patch's name by hashing, so a
// manifest name can never reach outside the folder.
class ScratchArea
{
public:
    // What a partial archive belongs to: the file's name, the hash text the
    // complete file must have, the address it came from and the validator
    // (ETag or Last-Modified) of the server's first answer.
    struct PartialNote
    {
        QString name;
        QString expected_hash;
        QString url;
        QByteArray validator;
    };

    // The scratch folder of `game`.
    explicit ScratchArea(const GameFolder &game);

    QString folder() const;
    // Creates the folder if needed. Anything else standing at its name (a
    // link, a file) is removed first. False when it cannot be made.
    bool ensure() const;

    QString partial_archive_path(const QString &name) const;
    QString patch_path(const QString &patch_name) const;
    // Where a chain of patches keeps the result of its latest step for the
    // file `name`.
    QString patch_result_path(const QString &name) const;
    // Extraction output beside a target called file_name: a hidden name of
    // the launcher's own in the target's folder, renamed over the target once
    // checked.
    static QString extraction_name(const QString &file_name);
    // Removes the extraction output beside target (a name in the game
    // folder), reached through the target's folder as OpenFolder walks it (a
    // foreign link is not followed).
    void remove_extraction(const QString &target) const;

    bool read_note(const QString &name, PartialNote &note) const;
    // Written through a new file and a rename, so a cut write leaves the
    // earlier note or none.
    bool write_note(const PartialNote &note) const;
    // Whether anything stands at the place of name's note.
    bool has_note(const QString &name) const;
    // Removes the partial archive of name and its note.
    void drop_partial(const QString &name) const;

    // Removes everything in the folder but the partial archives (and notes)
    // of the names in keep, and the extraction leftovers beside the targets
    // named in targets. Never touches anything outside those names.
    void sweep(const QSet<QString> &keep, const QStringList &targets) const;
    // Removes the folder itself when nothing is left in it.
    void remove_if_empty() const;

private:
    QString entry_stem(const QString &name) const;
    QString note_path(const QString &name) const;

    GameFolder game;
    QString folder_path; // absolute
};
