#include "updater/patch_chain.h"

#include "patch_result.h"

#include "app/constants.h"
#include "files/open_folder.h"
#include "files/safe_file.h"
#include "files/scratch_area.h"
#include "install/archive_extractor.h"
#include "install/content_check.h"
#include "platform/program_start.h"
#include "updater/file_hasher.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>

namespace {

constexpr qint64 INTERIM_SLACK = 1 << 20;

} // namespace

PatchChain::PatchChain(const GameFolder &game, const FileRecord &record)
    : game(game), record(record), result_path(game.scratch().patch_result_path(record.name))
{
}

qint64 PatchChain::interim_bound(qint64 source_size, qint64 final_size)
{
    return 2 * std::max<qint64>({source_size, final_size, 0}) + INTERIM_SLACK;
}

// The game file's folder is walked first as OpenFolder walks it: a folder
// link that is not the player's own, or a link in the file's own place, is
// refused before the program starts.
PatchChain::Outcome PatchChain::apply(const QString &patch_path, const QString &result_hash,
                                      bool from_result, bool last) const
{
    QString leaf;
    OpenFolder::Status status;
    const OpenFolder folder = game.open_parent(record.name, leaf, status);
    Outcome outcome = Outcome::Refused;
    if (status != OpenFolder::Status::Refused && !folder.entry_info(leaf).is_link)
        outcome = game.scratch().ensure() ? run_step(patch_path, result_hash, from_result, last)
                                          : Outcome::Failed;
    safe_file::remove_entry(patch_path);
    return outcome;
}

// Runs the patch program on the step's source, its result into the scratch
// area; the last result is installed once it is the entry's file.
PatchChain::Outcome PatchChain::run_step(const QString &patch_path, const QString &result_hash,
                                         bool from_result, bool last) const
{
    const QString source = from_result ? result_path : game.file_path(record.name);
    const qint64 bound = last && record.expected_size >= 0
        ? record.expected_size
        : interim_bound(QFileInfo(source).size(), record.expected_size);
    QProcess patcher;
    // The patch and its source come first, as every patch program takes
    // them; the bound and the result's place follow.
    start_program(patcher, PATCH_PROGRAM,
                  {patch_path, source, QStringLiteral("--max-size"), QString::number(bound),
                   QStringLiteral("--output"), result_path});
    // Its output does not matter: the result decides, and the exit status
    // only tells a full disk from other failures.
    patcher.waitForFinished(-1);
    if (patcher.error() == QProcess::FailedToStart)
        return Outcome::NotStarted;
    const bool exited = patcher.exitStatus() == QProcess::NormalExit;
    if (exited && patcher.exitCode() == int(PatchError::NoSpace))
        return Outcome::NoSpace;
    if (!exited || patcher.exitCode() != 0 || safe_file::plain_file_size(result_path) < 0)
        return Outcome::Failed;
    // The last result is checked against the entry as it is copied into
    // place; one before it must have the hash text its patch names.
    if (last) {
        const Outcome installed = install_result();
        discard();
        return installed;
    }
    return FileHasher::digest_text(result_path).left(HASH_TEXT_LENGTH) == result_hash
        ? Outcome::Applied
        : Outcome::Failed;
}

// The last result, checked as it is copied beside the game file: the entry's
// size, then its whole digest (or hash text); only then renamed over it.
PatchChain::Outcome PatchChain::install_result() const
{
    QFile result(result_path);
    if (!open_regular_file(result, result_path))
        return Outcome::Failed;
    ExtractTarget target;
    target.target_path = record.name;
    target.archive_name = QFileInfo(record.name).fileName();
    target.check = ContentCheck(record.expected_hash, record.expected_size,
                                record.expected_sha256);
    target.game_folder = game.path();
    const ExtractOutcome installed = install_copy_to_target(result, target);
    switch (installed.fault) {
    case UpdateFault::None:
        return Outcome::Applied;
    case UpdateFault::OutsideFolder:
        return Outcome::Refused;
    case UpdateFault::DiskFull:
        return Outcome::NoSpace;
    default:
        return Outcome::Failed;
    }
}

void PatchChain::discard() const
{
    safe_file::remove_entry(result_path);
}
