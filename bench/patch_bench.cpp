// Applying a patch through patcher.exe against `zstd -d --patch-from` on the
// same old file and the same compressed data, and the patch size against
// bsdiff on the same pair.
//   bench_patch [WORK_DIR [SIZE_MIB]]
#include "bench_util.h"
#include "hash_text.h"
#include "patch_format.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <cstdio>

namespace {

constexpr int RUNS = 5;

// The new version: the old file with an edit every MiB (a replaced block, an
// inserted one and a removed one), as a game update changes parts of a file.
bool write_new_version(const QString &old_path, const QString &new_path)
{
    if (QFileInfo::exists(new_path) &&
        QFileInfo(new_path).lastModified() >= QFileInfo(old_path).lastModified())
        return true;
    QFile old_file(old_path);
    QFile new_file(new_path);
    if (!old_file.open(QIODevice::ReadOnly) || !new_file.open(QIODevice::WriteOnly))
        return false;
    QRandomGenerator generator(9);
    for (QByteArray block; !(block = old_file.read(1 << 20)).isEmpty();) {
        QByteArray fresh(6144, Qt::Uninitialized);
        for (char &c : fresh)
            c = char('a' + generator.bounded(26));
        const int at = generator.bounded(block.size() / 2);
        block.replace(at, 4096, fresh.left(4096));
        block.insert(at + 100000 % block.size(), fresh.mid(4096));
        block.remove(block.size() - 1024, 1024);
        if (new_file.write(block) != block.size())
            return false;
    }
    return true;
}

double file_mib(const QString &path)
{
    return double(QFileInfo(path).size()) / (1 << 20);
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const QString work = args.size() > 1 ? args[1] : QDir::tempPath() + "/orvex-bench";
    const qint64 size = (args.size() > 2 ? args[2].toLongLong() : 64) << 20;
    QDir().mkpath(work);
    const QString old_path = work + "/patch-old.dat";
    const QString new_path = work + "/patch-new.dat";
    const QString patch = work + "/patch-ours.patch";
    const QString frame = work + "/patch-frame.zst";
    const QString target = work + "/patch-target.dat";
    const QString patcher = QCoreApplication::applicationDirPath() + "/patcher.exe";

    if (!ensure_text_file(old_path, size, 5) || !write_new_version(old_path, new_path))
        return 1;
    QElapsedTimer make_timer;
    make_timer.start();
    const PatchResult result = make_patch_file(old_path, new_path, patch);
    const double make_seconds = double(make_timer.nsecsElapsed()) / 1e9;
    if (!result.ok) {
        std::fprintf(stderr, "%s\n", qPrintable(result.message));
        return 1;
    }
    // The compressed data without our header is a plain zstd frame that the
    // zstd tool decodes with the same old file as its prefix.
    QFile patch_file(patch);
    QFile frame_file(frame);
    if (!patch_file.open(QIODevice::ReadOnly) || !frame_file.open(QIODevice::WriteOnly))
        return 1;
    frame_file.write(patch_file.readAll().mid(PatchHeader::SIZE));
    frame_file.close();

    const QString expected = file_hash_text(new_path);
    double ours = 1e300, zstd = 1e300, memory = 0;
    for (int run = 0; run < RUNS; ++run) {
        QFile::remove(target);
        if (!QFile::copy(old_path, target))
            return 1;
        run_shell("sync"); // the copy's write-back must not land in the timing
        const RunResult applied = run_shell(shell_command({patcher, patch, target}));
        if (!applied.ok || file_hash_text(target) != expected) {
            std::fprintf(stderr, "patcher.exe failed\n");
            return 1;
        }
        ours = qMin(ours, applied.seconds);
        memory = applied.peak_mib;
        run_shell("sync"); // nor the write-back of the patched file
        const RunResult reference = run_shell(
            shell_command({"zstd", "-d", "-q", "-f", "--long=31", "--patch-from=" + old_path, frame,
                           "-o", work + "/patch-zstd-out.dat"}));
        if (!reference.ok) {
            std::fprintf(stderr, "zstd failed\n");
            return 1;
        }
        zstd = qMin(zstd, reference.seconds);
    }

    const QString bsdiff_patch = work + "/patch-bsdiff.patch";
    if (QFileInfo(bsdiff_patch).lastModified() < QFileInfo(new_path).lastModified())
        run_shell(shell_command({"bsdiff", old_path, new_path, bsdiff_patch}));

    std::printf("patch apply %.0f MiB: patcher.exe %s s, zstd %s s, ratio %s (target <= 1.2)\n",
                file_mib(old_path), qPrintable(fixed(ours)), qPrintable(fixed(zstd)),
                qPrintable(fixed(ours / zstd)));
    std::printf("patcher.exe peak memory %s MiB (old %s MiB + new %s MiB)\n",
                qPrintable(fixed(memory)), qPrintable(fixed(file_mib(old_path))),
                qPrintable(fixed(file_mib(new_path))));
    std::printf("patch size: ours %lld bytes (made in %s s), bsdiff %lld bytes, ratio %s\n",
                QFileInfo(patch).size(), qPrintable(fixed(make_seconds)),
                QFileInfo(bsdiff_patch).size(),
                qPrintable(fixed(double(QFileInfo(patch).size()) /
                                 double(qMax<qint64>(1, QFileInfo(bsdiff_patch).size())))));
    for (const QString &path : {target, work + "/patch-zstd-out.dat"})
        QFile::remove(path);
    return 0;
}
