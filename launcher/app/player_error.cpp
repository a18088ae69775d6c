#include "app/player_error.h"

#include "app/constants.h"

PlayerError player_error(const UpdateFailure &failure)
{
    const QString &subject = failure.subject;
    // Each text takes the subject with one arg() call: a name holding "%1"
    // stays as it is.
    const auto about = [&subject](const QString &text) {
        return text.arg(subject, 0, QLatin1Char(' '));
    };
    switch (failure.fault) {
    case UpdateFault::None:
        break;
    case UpdateFault::CannotWrite:
        return {CODE_OPEN_WRITE_FAILED, about(TEXT_OPEN_WRITE_FAILED)};
    case UpdateFault::CannotRead:
        return {CODE_OPEN_READ_FAILED, about(TEXT_OPEN_READ_FAILED)};
    case UpdateFault::ShortWrite:
        return {CODE_SHORT_WRITE, about(TEXT_EXTRACT_FAILED)};
    case UpdateFault::TransferFailed: {
        const QString text = about(TEXT_DOWNLOAD_FAILED);
        return {CODE_DOWNLOAD_FAILED,
                failure.detail.isEmpty() ? text : TEXT_FAILED_BECAUSE.arg(text, failure.detail)};
    }
    case UpdateFault::NotTheFile:
        return {CODE_FILE_DAMAGED, about(TEXT_FILE_DAMAGED)};
    case UpdateFault::DiskFull:
        return {CODE_NO_DISK_SPACE, about(TEXT_DISK_FULL_WRITING)};
    case UpdateFault::NoDiskSpace:
        return {CODE_NO_DISK_SPACE, TEXT_NO_DISK_SPACE.arg(subject, failure.detail)};
    case UpdateFault::OutsideFolder:
        return {CODE_FILES_REFUSED, TEXT_FILES_REFUSED.arg(subject, failure.detail)};
    case UpdateFault::ManifestRefused:
        return {CODE_MANIFEST_SIGNATURE, failure.detail};
    case UpdateFault::ArchiveNoMemory:
        return {CODE_ARCHIVE_NO_MEMORY, about(TEXT_EXTRACT_FAILED)};
    case UpdateFault::ArchiveDamaged:
        return {CODE_ARCHIVE_DAMAGED, about(TEXT_EXTRACT_FAILED)};
    case UpdateFault::ArchiveNotBzip2:
        return {CODE_ARCHIVE_NOT_BZIP2, about(TEXT_EXTRACT_FAILED)};
    case UpdateFault::ArchiveReadFailed:
        return {CODE_ARCHIVE_READ_FAILED, about(TEXT_EXTRACT_FAILED)};
    case UpdateFault::ArchiveCutShort:
        return {CODE_ARCHIVE_CUT_SHORT, about(TEXT_EXTRACT_FAILED)};
    }
    return {};
}
