#pragma once

#include "app/update_failure.h"
#include "files/open_folder.h"
#include "install/content_check.h"

#include <QByteArray>
#include <QString>

#include <memory>

class ByteSource;
class QFile;

// The outcome of decompressing one archive: UpdateFault::None on success;
// otherwise the target could not be written (CannotWrite, ShortWrite,
// DiskFull), the result is not the file the manifest names (NotTheFile), the
// archive does not decode (Archive...), or the target's path leads outside
// the game folder (OutsideFolder).
using ExtractOutcome = UpdateFailure;

// What one extraction installs and how the result is checked.
struct ExtractTarget
{
    QString target_path; // the file to install
    QString archive_name; // the archive's file name, for the texts
    ContentCheck check; // what the result must be
    QString game_folder; // the folder target_path is named in; "": the working directory
    // The target's folder, already walked (a handle of its own for the
    // extraction's thread); null: it is walked from game_folder.
    std::shared_ptr<const OpenFolder> folder;
};

// Decompresses what source gives into a new hidden file beside the target,
// checks its hash text (and its size, as it grows, when known), flushes it to
// disk when it replaces a file and only then renames it over the target. On
// any failure the target keeps its old content and the new file is removed.
// Several concatenated bzip2 streams decompress as one file.
ExtractOutcome extract_to_target(ByteSource &source, const ExtractTarget &target);
// The same for a whole archive held in memory: a small one decoded on the
// calling thread, a larger one (of several blocks) on the decoder's threads.
ExtractOutcome extract_memory_to_target(const QByteArray &archive, const ExtractTarget &target);
// Copies a finished file (open for reading at its start) into place the same
// way: a new hidden file beside the target, the size and content checked on
// the bytes as they are written, then the rename. The fault of a result that
// is not the file is NotTheFile; `archive_name` names the file itself.
ExtractOutcome install_copy_to_target(QFile &source, const ExtractTarget &target);
