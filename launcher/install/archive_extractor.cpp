#include "install/archive_extractor.h"

#include "update_layout.h"

#include "atomic_file.h"
#include "parallel_bz2_decoder.h"
#include "sequential_bz2_decoder.h"
#include "files/open_folder.h"
#include "files/safe_file.h"
#include "files/scratch_area.h"
#include "install/hashing_file_sink.h"
#include "install/memory_byte_source.h"

#include <QFile>
#include <QFileInfo>

#include <functional>
#include <optional>

namespace {

ExtractOutcome failure(UpdateFault fault, const QString &name)
{
    return {fault, name, QString()};
}

QString without_archive_suffix(const QString &archive_name)
{
    const QString suffix = update_layout::archive_suffix();
    return archive_name.endsWith(suffix) ? archive_name.chopped(suffix.size()) : archive_name;
}

// Archives in memory from this size on are decoded on the decoder's threads:
// they may hold several blocks, and starting the threads costs less than
// decoding them one after the other.
constexpr int PARALLEL_FROM = 64 * 1024;
// Bytes read at a time when a finished file is copied into place.
constexpr int COPY_BLOCK = 1 << 20;

using Decode = std::function<Bz2DecodeResult(ByteSink &sink, qint64 output_limit)>;

// The disk filled up while the new file was written: the update needs more
// room, the archive is not at fault.
ExtractOutcome write_failure(bool no_space, const ExtractTarget &target)
{
    if (no_space)
        return failure(UpdateFault::DiskFull,
                       without_archive_suffix(target.archive_name));
    return failure(UpdateFault::ShortWrite, target.archive_name);
}

// The one place where the codec's statuses become the update's faults.
ExtractOutcome decode_failure(Bz2Status status, bool no_space, const ExtractTarget &target)
{
    switch (status) {
    case Bz2Status::Ok:
        break;
    case Bz2Status::OutputTooLarge:
        return failure(UpdateFault::NotTheFile,
                       without_archive_suffix(target.archive_name));
    case Bz2Status::SinkRefused:
        return write_failure(no_space, target);
    case Bz2Status::NotBzip2:
        return failure(UpdateFault::ArchiveNotBzip2, target.archive_name);
    case Bz2Status::Damaged:
        return failure(UpdateFault::ArchiveDamaged, target.archive_name);
    case Bz2Status::CutShort:
        return failure(UpdateFault::ArchiveCutShort, target.archive_name);
    case Bz2Status::SourceFailed:
        return failure(UpdateFault::ArchiveReadFailed, target.archive_name);
    case Bz2Status::OutOfMemory:
        return failure(UpdateFault::ArchiveNoMemory, target.archive_name);
    }
    return {};
}

ExtractOutcome decode_and_check(const Decode &decode, QFile &output, const ExtractTarget &target,
                                bool replacing)
{
    HashingFileSink sink(output);
    const Bz2DecodeResult result = decode(sink, target.check.size());
    if (result.status != Bz2Status::Ok)
        return decode_failure(result.status, sink.no_space(), target);
    sink.hash_text(); // ends the digest
    if (!target.check.accepts(sink.digest_text()))
        return failure(UpdateFault::NotTheFile,
                       without_archive_suffix(target.archive_name));
    // A file that replaces another reaches the disk before the rename, so a
    // power cut leaves the old file or the new one, never an empty one. (A
    // write that fails only then, on a full disk, is a failed write too.) A
    // new file has nothing to lose: cut short by a power cut, it is found
    // wrong by the next check and fetched again.
    if (replacing && !atomic_file::sync(output))
        return write_failure(safe_file::failed_for_space(), target);
    if (!output.flush())
        return write_failure(false, target);
    return {};
}

// Works in the target's folder as OpenFolder opened it (the one handed over,
// else walked here): a link on the way that is not the player's own ends the
// extraction as refused, and nothing is written through it. The new file is
// created here, on the extraction's thread.
ExtractOutcome extract_with(const Decode &decode, const ExtractTarget &target)
{
    QString leaf;
    OpenFolder::Status status = OpenFolder::Status::Open;
    std::optional<OpenFolder> walked;
    const OpenFolder *opened = target.folder.get();
    if (opened && opened->is_open()) {
        leaf = target.target_path.mid(target.target_path.lastIndexOf(QLatin1Char('/')) + 1);
    } else {
        walked = OpenFolder::open_parent_in(target.game_folder, target.target_path, leaf, status);
        opened = &*walked;
    }
    const OpenFolder &folder = *opened;
    if (status == OpenFolder::Status::Refused)
        return {UpdateFault::OutsideFolder, target.target_path, QStringLiteral("1")};
    const QString fresh = ScratchArea::extraction_name(leaf);
    std::unique_ptr<QFile> output = folder.is_open() ? folder.create_new(fresh) : nullptr;
    if (!output)
        return failure(UpdateFault::CannotWrite, target.archive_name);
    const OpenFolder::EntryInfo existing = folder.entry_info(leaf);
    ExtractOutcome outcome = decode_and_check(decode, *output, target, existing.exists);
    if (!outcome.failed()) {
        // An existing game file keeps its permissions (an executable stays one).
        if (existing.is_regular)
            output->setPermissions(existing.permissions);
        output->close();
        if (!folder.replace(fresh, leaf))
            outcome = failure(UpdateFault::CannotWrite, target.archive_name);
    }
    output.reset();
    if (outcome.failed())
        folder.remove_entry(fresh);
    return outcome;
}

} // namespace

ExtractOutcome extract_to_target(ByteSource &source, const ExtractTarget &target)
{
    return extract_with(
        [&source](ByteSink &sink, qint64 limit) {
            return ParallelBz2Decoder().decode(source, sink, limit);
        },
        target);
}

ExtractOutcome install_copy_to_target(QFile &source, const ExtractTarget &target)
{
    return extract_with(
        [&source, &target](ByteSink &sink, qint64 limit) {
            Bz2DecodeResult result;
            QByteArray buffer(COPY_BLOCK, Qt::Uninitialized);
            for (;;) {
                const qint64 count = source.read(buffer.data(), buffer.size());
                if (count < 0) {
                    result.status = Bz2Status::SourceFailed;
                    return result;
                }
                if (count == 0)
                    break;
                if (limit >= 0 && result.output_bytes + count > limit) {
                    result.status = Bz2Status::OutputTooLarge;
                    return result;
                }
                if (!sink.write(buffer.constData(), count)) {
                    result.status = Bz2Status::SinkRefused;
                    return result;
                }
                result.output_bytes += count;
            }
            // A result shorter than the file named is not that file, even
            // where only its hash text is known.
            if (target.check.size() >= 0 && result.output_bytes != target.check.size())
                result.status = Bz2Status::OutputTooLarge;
            return result;
        },
        target);
}

ExtractOutcome extract_memory_to_target(const QByteArray &archive, const ExtractTarget &target)
{
    if (archive.size() >= PARALLEL_FROM) {
        MemoryByteSource source(archive);
        return extract_to_target(source, target);
    }
    return extract_with(
        [&archive](ByteSink &sink, qint64 limit) {
            return SequentialBz2Decoder::decode(archive, sink, limit);
        },
        target);
}
