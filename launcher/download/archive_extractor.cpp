#include "download/archive_extractor.h"

#include "update_layout.h"

#include "app/constants.h"
#include "download/file_byte_source.h"
#include "download/hashing_file_sink.h"
#include "download/parallel_bz2_decoder.h"
#include "download/safe_file.h"
#include "download/scratch_area.h"
#include "download/sequential_bz2_decoder.h"

#include <QFile>
#include <QFileInfo>

#include <functional>

#include <bzlib.h>

namespace {

ExtractOutcome failure(int code, const QString &text, const QString &name)
{
    return {code, text.arg(name, 0, QLatin1Char(' '))};
}

QString without_archive_suffix(const QString &archive_name)
{
    const QString suffix = update_layout::archive_suffix();
    return archive_name.endsWith(suffix) ? archive_name.chopped(suffix.size()) : archive_name;
}

using Decode = std::function<Bz2DecodeResult(ByteSink &sink, qint64 output_limit)>;

ExtractOutcome decode_and_check(const Decode &decode, QFile &output, const ExtractTarget &target,
                                bool replacing)
{
    HashingFileSink sink(output);
    const Bz2DecodeResult result = decode(sink, target.expected_size);
    const QString file_name = without_archive_suffix(target.archive_name);
    if (result.code == BZ2_OUTPUT_TOO_LARGE)
        return failure(CODE_FILE_DAMAGED, TEXT_FILE_DAMAGED, file_name);
    if (result.code == CODE_SHORT_WRITE)
        return failure(CODE_SHORT_WRITE, TEXT_EXTRACT_FAILED, target.archive_name);
    if (result.code != 0)
        return failure(result.code, TEXT_EXTRACT_FAILED, target.archive_name);
    if (!target.expected_hash.isEmpty() && sink.hash_text() != target.expected_hash)
        return failure(CODE_FILE_DAMAGED, TEXT_FILE_DAMAGED, file_name);
    // A file that replaces another reaches the disk before the rename, so a
    // power cut leaves the old file or the new one, never an empty one. (A
    // write that fails only then, on a full disk, is a short write too.) A
    // new file has nothing to lose: cut short by a power cut, it is found
    // wrong by the next check and fetched again.
    if (replacing && !safe_file::sync(output))
        return failure(CODE_SHORT_WRITE, TEXT_EXTRACT_FAILED, target.archive_name);
    if (!output.flush())
        return failure(CODE_SHORT_WRITE, TEXT_EXTRACT_FAILED, target.archive_name);
    return {};
}

ExtractOutcome extract_with(const Decode &decode, const ExtractTarget &target)
{
    const QString fresh = ScratchArea::extraction_path(target.target_path);
    std::unique_ptr<QFile> output = safe_file::reuse_or_create(fresh);
    if (!output)
        return failure(CODE_OPEN_WRITE_FAILED, TEXT_OPEN_WRITE_FAILED, target.archive_name);
    const QFileInfo existing(target.target_path);
    const bool replacing = existing.exists() || existing.isSymLink();
    ExtractOutcome outcome = decode_and_check(decode, *output, target, replacing);
    if (outcome.code == 0) {
        // An existing game file keeps its permissions (an executable stays one).
        if (existing.exists() && !existing.isSymLink())
            output->setPermissions(existing.permissions());
        output->close();
        if (!safe_file::replace(fresh, target.target_path))
            outcome = failure(CODE_OPEN_WRITE_FAILED, TEXT_OPEN_WRITE_FAILED, target.archive_name);
    }
    output.reset();
    if (outcome.code != 0)
        safe_file::remove_entry(fresh);
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

ExtractOutcome extract_memory_to_target(const QByteArray &archive, const ExtractTarget &target)
{
    return extract_with(
        [&archive](ByteSink &sink, qint64 limit) {
            return SequentialBz2Decoder::decode(archive, sink, limit);
        },
        target);
}

ExtractOutcome extract_archive(const QString &archive_path, const QString &target_path)
{
    const QString archive_name = QFileInfo(archive_path).fileName();
    FileByteSource source(archive_path);
    if (!source.open())
        return failure(CODE_OPEN_READ_FAILED, TEXT_OPEN_READ_FAILED, archive_name);
    return extract_to_target(source, ExtractTarget {target_path, archive_name, QString(), -1});
}
