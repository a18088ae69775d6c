#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// The highest manifest "sequence" this game folder has accepted for each
// distribution (its name without case), with the SHA-256 of that manifest's
// bytes, kept in a small hidden file beside the verification cache and
// replaced atomically on every change. A signed manifest of a lower sequence
// is an earlier release served again (a rollback) and is refused; one of the
// same sequence is the same release only when its bytes are the same. A
// folder without the file (or with one that does not read) knows no order
// yet and accepts any sequence.
//
// What this process accepted for a folder is also kept in memory, so the
// rules hold for the rest of the run even where the file cannot be written.
//
// The file is text, one line per distribution and fact: its name
// (percent-encoded), a space and the sequence, then a line with the same two
// fields, a space and the manifest's digest (64 hex digits).
class ReleaseOrder
{
public:
    enum class Verdict {
        Allowed,
        Older, // an earlier release than one accepted
        OtherRelease, // the sequence of an accepted release, other bytes
    };

    // The file's name in the game folder.
    static QString file_name();

    // Reads the file of `folder` and what this process accepted for it.
    void load(const QString &folder);
    // The highest sequence accepted for distribution; -1 when none.
    qint64 highest(const QString &distribution) const;
    // Whether a manifest of this sequence whose bytes have this SHA-256 may
    // be used for distribution.
    Verdict check(const QString &distribution, qint64 sequence,
                  const QByteArray &manifest_digest) const;
    // Notes the manifest as accepted for distribution and writes the file
    // into `folder` when that changed what it holds. A non-regular entry at
    // the file's name gives way (a folder only when empty). False, with a
    // line in the launcher's log, when the file could not be written.
    bool accept(const QString &folder, const QString &distribution, qint64 sequence,
                const QByteArray &manifest_digest);

private:
    struct Accepted
    {
        qint64 sequence = -1;
        QByteArray digest; // hex; empty when unknown (a file of an earlier launcher)
    };
    static void merge(QHash<QString, Accepted> &into, const QString &name,
                      const Accepted &accepted);
    // What this process accepted, by game folder (its absolute path).
    static QHash<QString, QHash<QString, Accepted>> &remembered();
    bool write(const QString &folder) const;

    QHash<QString, Accepted> accepted;
};
