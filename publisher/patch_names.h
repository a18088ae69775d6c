#pragma once

#include <QString>
#include <QStringList>

// Name of the patch that turns the file `key` with hash text source_hash into
// one with result_hash: the flattened key, "_", the source, "_", the result and
// ".patch", so the two hash texts sit where the launcher reads them (21 and 13
// characters before the end). Flattening is one-to-one ("/" becomes "~_", "~"
// becomes "~~", and a "." right after another "." becomes "~d"), so names of
// different files never meet, and the result is a plain file name the
// launcher accepts. A very long key is cut and completed by a hash of it.
QString patch_name_for(const QString &key, const QString &source_hash, const QString &result_hash);

// Which of a file's earlier patches (leading to its previous content) are
// still worth listing now that its content has the hash text `hash` and the
// patches `added` lead there: those through which a chain reaches `hash` in at
// most `history` patches. A patch from `hash` itself is dropped.
QStringList patches_to_keep(const QStringList &earlier, const QStringList &added,
                            const QString &hash, int history);
