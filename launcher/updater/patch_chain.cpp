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

// Runs the patch program on the step's source, its result into the scratch
// area. The game file's folder is walked first as OpenFolder walks it: a
// folder link that is not the player's own, or a link in the file's own
// place, is refused before the program starts.
PatchChain::Outcome PatchChain::apply(const QString &patch_path, const QString &result_hash,
                                      bool from_result, bool last) const
{
    QString leaf;
    OpenFolder::Status status;
    const OpenFolder folder = game.open_parent(record.name, leaf, status);
    Outcome outcome = Outcome::Refused;
    if (status != OpenFolder::Status::Refused && !folder.entry_info(leaf).is_link &&
        !game.scratch().ensure()) {
        outcome = Outcome::Failed;
    } else if (status != OpenFolder::Status::Refused && !folder.entry_info(leaf).is_link) {
        const QString source = from_result ? result_path : game.file_path(record.name);
        const qint64 source_size = QFileInfo(source).size();
        const qint64 bound = last && record.expected_size >= 0
            ? record.expected_size
            : interim_bound(source_size, record.expected_size);
        QProcess patcher;
        // The patch and its source come first, as every patch program
        // takes them; the bound and the result's place follow.
        start_program(patcher, PATCH_PROGRAM,
                      {patch_path, source, QStringLiteral("--max-size"), QString::number(bound),
                       QStringLiteral("--output"), result_path});
        // Its output does not matter: the result's hash text decides, and the
        // exit status only tells a full disk from other failures.
        patcher.waitForFinished(-1);
        const bool made = patcher.error() != QProcess::FailedToStart &&
            patcher.exitStatus() == QProcess::NormalExit && patcher.exitCode() == 0 &&
            safe_file::plain_file_size(result_path) >= 0 &&
            FileHasher::digest_text(result_path).left(HASH_TEXT_LENGTH) == result_hash;
        if (made && last) {
            outcome = install_result();
            discard();
        } else if (made) {
            outcome = Outcome::Applied;
        } else if (patcher.error() == QProcess::FailedToStart)
            outcome = Outcome::NotStarted;
        else if (patcher.exitStatus() == QProcess::NormalExit &&
                 patcher.exitCode() == int(PatchError::NoSpace))
            outcome = Outcome::NoSpace;
        else
            outcome = Outcome::Failed;
    }
    safe_file::remove_entry(patch_path);
    return outcome;
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
