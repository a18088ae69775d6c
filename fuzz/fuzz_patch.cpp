// Patch files as the download service might send them, applied by the patch
// program's reader to a fixed target in a sandboxed folder. The seeds are
// patches made from patch_base_content() to a few new versions, so mutations
// get past the source check into the zstd frame. Holds: no crash, no
// sanitizer report, nothing created beside the target (no temporary file
// left), a refused patch leaves the target byte for byte as it was, and an
// accepted one leaves a target with the result hash text the header names.
#include "fuzz_sandbox.h"

#include "hash_text.h"
#include "patch_format.h"

#include <QFile>

#include <cstdint>

namespace {

FuzzSandbox *sandbox = nullptr;
QString patch_path;
QString target_path;

// The file every patch is applied to: 100 numbered lines.
QByteArray patch_base_content()
{
    QByteArray content;
    for (int i = 0; i < 100; ++i)
        content += "old game data line " + QByteArray::number(i) + "\n";
    return content;
}

void write(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        fuzz_fail("cannot write into the sandbox");
}

QByteArray read(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const QByteArray base = patch_base_content();
    if (!sandbox) {
        // A static, so the sandbox is removed when the run ends.
        static FuzzSandbox instance;
        sandbox = &instance;
        if (!sandbox->valid())
            fuzz_fail("no temporary folder");
        sandbox->seal();
        patch_path = QDir(sandbox->work_path()).filePath(QStringLiteral("update.patch"));
        target_path = QDir(sandbox->work_path()).filePath(QStringLiteral("game.dat"));
    }
    const QByteArray patch(reinterpret_cast<const char *>(data), int(size));
    write(patch_path, patch);
    write(target_path, base);

    const PatchResult result = apply_patch_file(patch_path, target_path);
    const QByteArray after = read(target_path);
    if (!result.ok && after != base)
        fuzz_fail("a refused patch changed the target");
    if (result.ok) {
        PatchHeader header;
        if (!PatchHeader::decode(patch.constData(), std::size_t(patch.size()), &header))
            fuzz_fail("a patch without header was accepted");
        if (hash_text(after).toLatin1() != header.result_hash)
            fuzz_fail("an accepted patch gave another result than its header names");
    }
    const QStringList left =
        QDir(sandbox->work_path())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    if (left != QStringList({QStringLiteral("game.dat"), QStringLiteral("update.patch")}))
        fuzz_fail("the patch left another file beside the target");
    sandbox->check_and_reset();
    return 0;
}
