// Patch files as the download service might send them, applied by the patch
// program's reader to a fixed target in a sandboxed folder. The seeds are
// patches of every version made from patch_base_content() to a few new
// versions, so mutations get past the source check into the frames. An
// input that does not start with the patch magic is turned into a version 2
// or 3 patch with the right source hash whose parts are compressed here (see
// framed_patch()), so the control list, the zero runs and the copies reach
// the reader undamaged by the frame checksums. Holds: no crash, no sanitizer report,
// nothing created beside the target (no temporary file left), a refused
// patch leaves the target byte for byte as it was, and an accepted one leaves
// a target with the result hash text the header names.
#include "fuzz_sandbox.h"

#include "diff_body_format.h"
#include "hash_text.h"
#include "patch_format.h"

#include <QFile>
#include <QtEndian>

#include <lzma.h>
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

QByteArray xz_stream(const QByteArray &content)
{
    QByteArray out(int(lzma_stream_buffer_bound(std::size_t(content.size()))), '\0');
    std::size_t size = 0;
    if (lzma_easy_buffer_encode(0, LZMA_CHECK_CRC32, nullptr,
                                reinterpret_cast<const std::uint8_t *>(content.constData()),
                                std::size_t(content.size()),
                                reinterpret_cast<std::uint8_t *>(out.data()), &size,
                                std::size_t(out.size())) != LZMA_OK)
        fuzz_fail("cannot compress");
    out.resize(int(size));
    return out;
}

// The length zero runs expand to, read leniently (a cut-off run counts as
// one zero).
int expanded_length(const QByteArray &runs)
{
    qint64 length = 0;
    for (int i = 0; i < runs.size() && length < (1 << 20);) {
        if (runs[i++] != 0) {
            ++length;
            continue;
        }
        quint64 more = 0;
        for (int shift = 0; i < runs.size() && shift < 63; shift += 7) {
            const uchar byte = uchar(runs[i++]);
            more |= quint64(byte & 0x7F) << shift;
            if (!(byte & 0x80))
                break;
        }
        length += 1 + qint64(qMin<quint64>(more, 1 << 20));
    }
    return int(qMin<qint64>(length, 1 << 20));
}

// Input layout: byte 0 the control list's length, byte 1 the differences'
// length, byte 2 how the result size is chosen, byte 3 flags: bit 0 whether
// the new bytes use the target as prefix, bit 1 a version 3 patch, bit 2
// its code rewritten (over all of both files), bits 3 and 4 its difference
// coder (modulo 3; the differences are then the zero runs as coded), bit 5
// differences by words, bit 6 the new bytes in xz. Then
// the control list, the differences and the new bytes (the rest). The
// result hash is that of the target plus the input's last byte, so only a
// patch that rebuilds exactly that is accepted.
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
    const uchar flags = uchar(input[3]);
    const bool version3 = flags & 2;
    const int coder = version3 ? (flags >> 3) % 3 : 0;
    const int difference_size = coder == 0 ? differences.size() : expanded_length(differences);
    header.result_size =
        std::uint64_t(qMax(0, difference_size + fresh.size() + int(qint8(input[2])) / 32));
    const QByteArray control_frame = frame(control, QByteArray());
    QByteArray difference_frame;
    if (coder == 0) {
        difference_frame = frame(differences, QByteArray());
    } else {
        difference_frame = QByteArray(8, '\0');
        qToLittleEndian<quint64>(quint64(differences.size()), difference_frame.data());
        difference_frame += coder == 1 ? xz_stream(differences) : frame(differences, QByteArray());
    }
    QByteArray prefix;
    if (version3) {
        header.version = PatchHeader::CODE_VERSION;
        prefix = QByteArray(CODE_PREFIX_SIZE, '\0');
        const bool filter = flags & 4;
        prefix[0] = char(filter ? 1 : 0);
        prefix[1] = char(coder);
        prefix[2] = char(flags & 0x40 ? 1 : 0);
        prefix[3] = char(flags & 0x20 ? 1 : 0);
        if (filter) {
            qToLittleEndian<quint64>(quint64(base.size()), prefix.data() + 12);
            qToLittleEndian<quint64>(header.result_size, prefix.data() + 28);
        }
    }
    QByteArray sizes(16, '\0');
    qToLittleEndian<quint64>(quint64(control_frame.size()), sizes.data());
    qToLittleEndian<quint64>(quint64(difference_frame.size()), sizes.data() + 8);
    QByteArray fresh_frame;
    if (version3 && (flags & 0x40)) {
        fresh_frame = QByteArray(8, '\0');
        qToLittleEndian<quint64>(quint64(fresh.size()), fresh_frame.data());
        fresh_frame += xz_stream(fresh);
    } else {
        fresh_frame = frame(fresh, flags & 1 ? base : QByteArray());
    }
    return QByteArray::fromStdString(header.encode()) + prefix + sizes + control_frame +
        difference_frame + fresh_frame;
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
