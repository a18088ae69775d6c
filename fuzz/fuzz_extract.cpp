// Archives as the download service might send them, extracted by the
// launcher's bzip2 code in a sandboxed folder. Holds: no crash, no sanitizer
// report, nothing created but the target, an outcome from the documented set
// with its documented text, and on success a target that begins with what
// libbzip2's own one-shot decompression makes of the first stream.
#include "fuzz_sandbox.h"

#include "app/constants.h"
#include "app/player_error.h"
#include "archive_file.h"

#include <QFile>

#include <bzlib.h>

#include <cstdint>
#include <vector>

namespace {

FuzzSandbox *sandbox = nullptr;
QString archive_path;
QString target_path;
const QString ARCHIVE_NAME = QStringLiteral("game.dat.bz2");
// Inputs are small; a first stream that expands beyond this is not compared.
constexpr unsigned int REFERENCE_LIMIT = 16u << 20;

void write(const QString &path, const QByteArray &content)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        fuzz_fail("cannot write into the sandbox");
}

void check_outcome(const ExtractOutcome &extracted)
{
    const PlayerError outcome = player_error(extracted);
    const QString damaged = TEXT_EXTRACT_FAILED.arg(ARCHIVE_NAME);
    switch (outcome.code) {
    case 0:
        if (!outcome.text.isEmpty())
            fuzz_fail("success with a text");
        return;
    case 904:
    case BZ_DATA_ERROR:
    case BZ_DATA_ERROR_MAGIC:
    case BZ_UNEXPECTED_EOF:
    case BZ_MEM_ERROR:
    case BZ_IO_ERROR:
        if (outcome.text != damaged)
            fuzz_fail("a damaged archive reported another text");
        return;
    default:
        // 902 and 903 cannot happen in the sandbox; other library codes
        // would be a misuse of the library.
        fuzz_fail("an unexpected outcome code");
    }
}

void compare_first_stream(const QByteArray &archive)
{
    std::vector<char> reference(REFERENCE_LIMIT);
    unsigned int length = REFERENCE_LIMIT;
    const int status = BZ2_bzBuffToBuffDecompress(reference.data(), &length,
                                                  const_cast<char *>(archive.constData()),
                                                  unsigned(archive.size()), 0, 0);
    if (status == BZ_OUTBUFF_FULL)
        return;
    if (status != BZ_OK)
        fuzz_fail("an archive libbzip2 refuses was extracted");
    QFile target(target_path);
    if (!target.open(QIODevice::ReadOnly))
        fuzz_fail("the target is missing after success");
    if (target.read(qint64(length)) != QByteArray(reference.data(), int(length)))
        fuzz_fail("the target does not begin with the first stream");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (!sandbox) {
        // A static, so the sandbox is removed when the run ends.
        static FuzzSandbox instance;
        sandbox = &instance;
        if (!sandbox->valid())
            fuzz_fail("no temporary folder");
        sandbox->seal();
        archive_path = QDir(sandbox->work_path()).filePath(ARCHIVE_NAME);
        target_path = QDir(sandbox->work_path()).filePath(QStringLiteral("game.dat"));
    }
    const QByteArray archive(reinterpret_cast<const char *>(data), int(size));
    write(archive_path, archive);

    const ExtractOutcome outcome = extract_archive(archive_path, target_path);
    check_outcome(outcome);
    if (!outcome.failed())
        compare_first_stream(archive);
    const QStringList left =
        QDir(sandbox->work_path())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QString &name : left) {
        if (name != ARCHIVE_NAME && name != QLatin1String("game.dat"))
            fuzz_fail("the extraction created another file");
    }
    sandbox->check_and_reset();
    return 0;
}
