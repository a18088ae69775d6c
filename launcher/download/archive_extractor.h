#pragma once

#include <QString>

// Result of decompressing one archive: code 0 and an empty text on success;
// otherwise 903 (archive unreadable), 902 (target unwritable), 904 (short
// write) or a negative libbzip2 error code, with the matching message on the
// archive's file name.
struct ExtractOutcome
{
    int code = 0;
    QString text;
};

// Decompresses the bzip2 archive at archive_path into target_path (created or
// truncated). Several concatenated bzip2 streams decompress as one file, and
// bytes after the last stream that do not start a new stream are ignored.
// The archive itself is left in place. Streams through a fixed 4096-byte
// buffer, so memory does not depend on the file size.
ExtractOutcome extract_archive(const QString &archive_path, const QString &target_path);
