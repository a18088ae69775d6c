#include "app/player_error.h"

#include "app/constants.h"

// Each text takes the subject with one arg() call: a name holding "%1"
// stays as it is.
PlayerError player_error(const UpdateFailure &failure)
{
    const QString &subject = failure.subject;
    switch (failure.fault) {
    case UpdateFault::None:
        break;
    case UpdateFault::CannotWrite:
        return {CODE_OPEN_WRITE_FAILED, TEXT_OPEN_WRITE_FAILED.arg(subject, 0, QLatin1Char(' '))};
    case UpdateFault::CannotRead:
        return {CODE_OPEN_READ_FAILED, TEXT_OPEN_READ_FAILED.arg(subject, 0, QLatin1Char(' '))};
    case UpdateFault::ShortWrite:
        return {CODE_SHORT_WRITE, TEXT_EXTRACT_FAILED.arg(subject, 0, QLatin1Char(' '))};
    case UpdateFault::TransferFailed: {
        const QString text = TEXT_DOWNLOAD_FAILED.arg(subject, 0, QLatin1Char(' '));
        return {CODE_DOWNLOAD_FAILED,
                failure.detail.isEmpty() ? text : TEXT_FAILED_BECAUSE.arg(text, failure.detail)};
    }
    case UpdateFault::NotTheFile:
        return {CODE_FILE_DAMAGED, TEXT_FILE_DAMAGED.arg(subject, 0, QLatin1Char(' '))};
    case UpdateFault::DiskFull:
        return {CODE_NO_DISK_SPACE, TEXT_DISK_FULL_WRITING.arg(subject, 0, QLatin1Char(' '))};
    case UpdateFault::NoDiskSpace:
        return {CODE_NO_DISK_SPACE, TEXT_NO_DISK_SPACE.arg(subject, failure.detail)};
    case UpdateFault::OutsideFolder:
        return {CODE_FILES_REFUSED, TEXT_FILES_REFUSED.arg(subject, failure.detail)};
    case UpdateFault::ManifestRefused:
        return {CODE_MANIFEST_SIGNATURE, failure.detail};
    case UpdateFault::ArchiveNoMemory:
        return {CODE_ARCHIVE_NO_MEMORY, TEXT_EXTRACT_FAILED.arg(subject, 0, QLatin1Char(' '))};
    case UpdateFault::ArchiveDamaged:
        return {CODE_ARCHIVE_DAMAGED, TEXT_EXTRACT_FAILED.arg(subject, 0, QLatin1Char(' '))};
    case UpdateFault::ArchiveNotBzip2:
        return {CODE_ARCHIVE_NOT_BZIP2, TEXT_EXTRACT_FAILED.arg(subject, 0, QLatin1Char(' '))};
    case UpdateFault::ArchiveReadFailed:
        return {CODE_ARCHIVE_READ_FAILED, TEXT_EXTRACT_FAILED.arg(subject, 0, QLatin1Char(' '))};
    case UpdateFault::ArchiveCutShort:
        return {CODE_ARCHIVE_CUT_SHORT, TEXT_EXTRACT_FAILED.arg(subject, 0, QLatin1Char(' '))};
    }
    return {};
}
