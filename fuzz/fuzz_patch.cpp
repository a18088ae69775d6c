// Patch files as the download service might send them, applied by the patch
// program's reader to a fixed target in a sandboxed folder. The seeds are
// patches of both versions made from patch_base_content() to a few new
// versions, so mutations get past the source check into the zstd frames.
// An input that does not start with the patch magic is turned into a
// version 2 patch with the right source hash whose parts are compressed here
// (see framed_patch()), so the control list and the copies reach the reader
// undamaged by the frame checksums. Holds: no crash, no sanitizer report,
// nothing created beside the target (no temporary file left), a refused
// patch leaves the target byte for byte as it was, and an accepted one leaves
// a target with the result hash text the header names.
#include "fuzz_sandbox.h"

#include "hash_text.h"
#include "patch_format.h"

#include <QFile>
#include <QtEndian>

#include <zstd.h>

#include <cstdint>
#include <cstring>

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

QByteArray frame(const QByteArray &content, const QByteArray &prefix)
{
    QByteArray out(int(ZSTD_compressBound(std::size_t(content.size()))), '\0');
    ZSTD_CCtx *cctx = ZSTD_createCCtx();
    if (!cctx)
        fuzz_fail("out of memory");
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, 1);
    if (!prefix.isEmpty())
        ZSTD_CCtx_refPrefix(cctx, prefix.constData(), std::size_t(prefix.size()));
    const std::size_t size = ZSTD_compress2(cctx, out.data(), std::size_t(out.size()),
                                            content.constData(), std::size_t(content.size()));
    ZSTD_freeCCtx(cctx);
    if (ZSTD_isError(size))
        fuzz_fail("cannot compress");
    out.resize(int(size));
    return out;
}

// Input layout: byte 0 the control list's length, byte 1 the differences'
// length, byte 2 how the result size is chosen, byte 3 whether the new bytes
// use the target as prefix, then the control list, the differences and the
// new bytes (the rest). The result hash is that of the target plus the
// input's last byte, so only a patch that rebuilds exactly that is accepted.
QByteArray framed_patch(const QByteArray &input, const QByteArray &base)
{
    if (input.size() < 4)
        return input;
    const int control_length = qMin(int(uchar(input[0])), input.size() - 4);
    const int difference_length = qMin(int(uchar(input[1])), input.size() - 4 - control_length);
    const QByteArray control = input.mid(4, control_length);
    const QByteArray differences = input.mid(4 + control_length, difference_length);
    const QByteArray fresh = input.mid(4 + control_length + difference_length);
    PatchHeader header;
    header.source_hash = hash_text(base).toStdString();
    header.result_hash = hash_text(base + input.right(1)).toStdString();
    header.source_size = std::uint64_t(base.size());
    // Mostly the sum the frames need; sometimes another size near it.
    header.result_size =
        std::uint64_t(qMax(0, differences.size() + fresh.size() + int(qint8(input[2])) / 32));
    const QByteArray control_frame = frame(control, QByteArray());
    const QByteArray difference_frame = frame(differences, QByteArray());
    QByteArray sizes(16, '\0');
    qToLittleEndian<quint64>(quint64(control_frame.size()), sizes.data());
    qToLittleEndian<quint64>(quint64(difference_frame.size()), sizes.data() + 8);
    return QByteArray::fromStdString(header.encode()) + sizes + control_frame + difference_frame +
        frame(fresh, input[3] & 1 ? base : QByteArray());
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
    QByteArray patch(reinterpret_cast<const char *>(data), int(size));
    if (size < std::size_t(PatchHeader::MAGIC_LENGTH) ||
        std::memcmp(data, PatchHeader::MAGIC, PatchHeader::MAGIC_LENGTH) != 0)
        patch = framed_patch(patch, base);
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
        if (hash_text(after).toStdString() != header.result_hash)
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
