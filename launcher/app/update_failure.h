#pragma once

#include <QString>

// What went wrong while a file of the update was fetched, extracted or put
// in place. The rooms of the update decide on these; only the run, when it
// ends with an error, turns one into the player's code and text
// (player_error).
enum class UpdateFault {
    None,
    CannotWrite, // a file could not be created or replaced: subject names it
    CannotRead, // an archive could not be read back: subject names it
    ShortWrite, // a write stopped short: subject names what was written
    TransferFailed, // the transfer failed for good: detail says why ("" for nothing)
    NotTheFile, // a whole body arrived and is not the file the manifest names
    DiskFull, // the disk filled up while subject was written
    NoDiskSpace, // the update does not fit: subject the MiB needed, detail the MiB free
    OutsideFolder, // subject's path leads outside the game folder; detail: the files skipped
    ManifestRefused, // the manifest was refused: detail says why
    // An archive that does not decode: subject names it.
    ArchiveNoMemory,
    ArchiveDamaged,
    ArchiveNotBzip2,
    ArchiveReadFailed,
    ArchiveCutShort
};

// A fault and what it concerns: the file's name (or path, or archive name)
// as the player's text gives it, and what else the text tells.
struct UpdateFailure
{
    UpdateFault fault = UpdateFault::None;
    QString subject;
    QString detail;

    bool failed() const { return fault != UpdateFault::None; }
    // The bytes received are not the file: a body continued from an earlier
    // transfer that gives one of these is fetched once more from its first
    // byte, a whole one past caches.
    bool wrong_content() const
    {
        return fault == UpdateFault::NotTheFile || fault == UpdateFault::ArchiveNoMemory ||
            fault == UpdateFault::ArchiveDamaged || fault == UpdateFault::ArchiveNotBzip2 ||
            fault == UpdateFault::ArchiveReadFailed || fault == UpdateFault::ArchiveCutShort;
    }
};
