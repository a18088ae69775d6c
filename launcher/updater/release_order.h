#pragma once

#include <QHash>
#include <QString>

// The highest manifest "sequence" this game folder has accepted for each
// distribution (its name without case), kept in a small hidden file beside the verification cache
// and replaced atomically on every change. A signed manifest of a lower
// sequence is an earlier release served again (a rollback) and is refused;
// an equal one is the same release. A folder without the file (or with one
// that does not read) knows no order yet and accepts any sequence.
//
// The file is text, one line per distribution: its name (percent-encoded),
// a space and the sequence.
class ReleaseOrder
{
public:
    // The file's name in the game folder.
    static QString file_name();

    // Reads the file of `folder`; without a readable one nothing is known.
    void load(const QString &folder);
    // The highest sequence accepted for distribution; -1 when none.
    qint64 highest(const QString &distribution) const;
    // Whether a manifest of this sequence may be used for distribution.
    bool allows(const QString &distribution, qint64 sequence) const;
    // Notes sequence as accepted for distribution and writes the file into
    // `folder` when that raised what it holds. False when the file could not
    // be written.
    bool accept(const QString &folder, const QString &distribution, qint64 sequence);

private:
    QHash<QString, qint64> accepted;
};
