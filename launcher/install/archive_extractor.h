#pragma once

#include <QByteArray>
#include <QString>

class ByteSource;

// Result of decompressing one archive: code 0 and an empty text on success;
// otherwise 903 (archive unreadable), 902 (target unwritable), 904 (short
// write), 906 (the result is not the file the manifest names) or a negative
// libbzip2 error code, with the matching message.
struct ExtractOutcome
{
    int code = 0;
    QString text;
};

// What one extraction installs and how the result is checked.
struct ExtractTarget
{
    QString target_path; // the file to install
    QString archive_name; // the archive's file name, for the texts
    QString expected_hash; // hash text the result must have; "" checks nothing
    qint64 expected_size = -1; // bytes the result has; < 0 when unknown
    QString expected_sha256; // whole digest the result must have; "": the hash text decides
    QString game_folder; // the folder target_path is named in; "": the working directory
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

// Decompresses the archive file at archive_path into target_path the same
// way, without a hash check. The archive itself is left in place.
ExtractOutcome extract_archive(const QString &archive_path, const QString &target_path);
