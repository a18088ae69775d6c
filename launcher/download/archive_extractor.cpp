#include "download/archive_extractor.h"

#include "update_layout.h"

#include "app/constants.h"
#include "download/file_byte_source.h"
#include "download/hashing_file_sink.h"
#include "download/parallel_bz2_decoder.h"
#include "download/safe_file.h"
#include "download/scratch_area.h"

#include <QFile>
#include <QFileInfo>

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

ExtractOutcome decode_and_check(ByteSource &source, QFile &output, const ExtractTarget &target)
{
    HashingFileSink sink(output);
    ParallelBz2Decoder decoder;
    const Bz2DecodeResult result = decoder.decode(source, sink, target.expected_size);
    const QString file_name = without_archive_suffix(target.archive_name);
    if (result.code == BZ2_OUTPUT_TOO_LARGE)
        return failure(CODE_FILE_DAMAGED, TEXT_FILE_DAMAGED, file_name);
    if (result.code == CODE_SHORT_WRITE)
        return failure(CODE_SHORT_WRITE, TEXT_EXTRACT_FAILED, target.archive_name);
    if (result.code != 0)
        return failure(result.code, TEXT_EXTRACT_FAILED, target.archive_name);
    if (!target.expected_hash.isEmpty() && sink.hash_text() != target.expected_hash)
        return failure(CODE_FILE_DAMAGED, TEXT_FILE_DAMAGED, file_name);
    // A write that fails only when the data reach the disk (a full disk) is
    // a short write too, not a success.
    if (!safe_file::sync(output))
        return failure(CODE_SHORT_WRITE, TEXT_EXTRACT_FAILED, target.archive_name);
    return {};
}

} // namespace

ExtractOutcome extract_to_target(ByteSource &source, const ExtractTarget &target)
{
    const QString fresh = ScratchArea::extraction_path(target.target_path);
    std::unique_ptr<QFile> output = safe_file::reuse_or_create(fresh);
    if (!output)
        return failure(CODE_OPEN_WRITE_FAILED, TEXT_OPEN_WRITE_FAILED, target.archive_name);
    ExtractOutcome outcome = decode_and_check(source, *output, target);
    if (outcome.code == 0) {
        // An existing game file keeps its permissions (an executable stays one).
        if (QFileInfo::exists(target.target_path) && !QFileInfo(target.target_path).isSymLink())
            output->setPermissions(QFile::permissions(target.target_path));
        output->close();
        if (!safe_file::replace(fresh, target.target_path))
            outcome = failure(CODE_OPEN_WRITE_FAILED, TEXT_OPEN_WRITE_FAILED, target.archive_name);
    }
    output.reset();
    if (outcome.code != 0)
        safe_file::remove_entry(fresh);
    return outcome;
}

ExtractOutcome extract_archive(const QString &archive_path, const QString &target_path)
{
    const QString archive_name = QFileInfo(archive_path).fileName();
    FileByteSource source(archive_path);
    if (!source.open())
        return failure(CODE_OPEN_READ_FAILED, TEXT_OPEN_READ_FAILED, archive_name);
    return extract_to_target(source, ExtractTarget {target_path, archive_name, QString(), -1});
}
