#include "archive_file.h"

#include "install/file_byte_source.h"

#include <QFileInfo>

ExtractOutcome extract_archive(const QString &archive_path, const QString &target_path)
{
    const QString archive_name = QFileInfo(archive_path).fileName();
    FileByteSource source(archive_path);
    if (!source.open())
        return {UpdateFault::CannotRead, archive_name, QString()};
    return extract_to_target(source,
                             ExtractTarget {target_path, archive_name, ContentCheck(), QString(), nullptr});
}
