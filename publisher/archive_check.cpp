#include "archive_check.h"

#include "byte_sink.h"
#include "byte_source.h"
#include "hash_text.h"
#include "parallel_bz2_decoder.h"
#include "patch_format.h"

#include <QByteArray>
#include <QFile>

namespace {

// The archive, read from its start (the file keeps why a read failed).
class ArchiveSource : public ByteSource
{
public:
    explicit ArchiveSource(QFile &file) : file(file) { }
    qint64 read(char *data, qint64 max) override
    {
        const qint64 count = file.read(data, max);
        return count < 0 ? -1 : count;
    }

private:
    QFile &file;
};

// Hashes and counts what the archive holds, and passes it on to output.
class ContentSink : public ByteSink
{
public:
    explicit ContentSink(QIODevice *output) : output(output) { }
    bool write(const char *data, qint64 size) override
    {
        digest.add(data, size_t(size));
        return !output || output->write(data, size) == size;
    }

    HashTextDigest digest;

private:
    QIODevice *const output;
};

// The number libbzip2 gives the same fault, which the messages name.
int library_code(Bz2Status status)
{
    switch (status) {
    case Bz2Status::NotBzip2:
        return -5;
    case Bz2Status::OutOfMemory:
        return -3;
    default:
        return -4;
    }
}

} // namespace

// One decoder thread: the tree check reads several archives at once.
bool read_archive(const QString &path, ArchiveContent *content, QString *error, QIODevice *output)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    ArchiveSource source(file);
    ContentSink sink(output);
    const Bz2DecodeResult result = ParallelBz2Decoder(1).decode(source, sink);
    content->size = result.output_bytes;
    switch (result.status) {
    case Bz2Status::Ok:
        content->hash = sink.digest.finish();
        content->sha256 = sink.digest.digest_text();
        return !content->hash.isEmpty();
    case Bz2Status::SourceFailed:
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        break;
    case Bz2Status::SinkRefused:
        *error = QStringLiteral("cannot write what %1 holds").arg(path);
        break;
    case Bz2Status::CutShort:
        *error = QStringLiteral("%1 is cut short").arg(path);
        break;
    default:
        *error = QStringLiteral("%1 is damaged (bzip2 error %2)")
                     .arg(path)
                     .arg(library_code(result.status));
        break;
    }
    return false;
}

bool check_patch_header(const QString &path, const QString &source_hash, const QString &result_hash,
                        QString *error, qint64 *result_size)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    const QByteArray head = file.read(PatchHeader::SIZE);
    PatchHeader header;
    if (!PatchHeader::decode(head.constData(), size_t(head.size()), &header) ||
        (header.version != PatchHeader::DIFF_VERSION &&
         header.version != PatchHeader::CODE_VERSION)) {
        *error = QStringLiteral("%1 is not a patch of this format").arg(path);
        return false;
    }
    if (QString::fromStdString(header.source_hash) != source_hash ||
        QString::fromStdString(header.result_hash) != result_hash) {
        *error = QStringLiteral("%1 leads from %2 to %3, not from %4 to %5")
                     .arg(path, QString::fromStdString(header.source_hash),
                          QString::fromStdString(header.result_hash), source_hash, result_hash);
        return false;
    }
    if (result_size)
        *result_size = qint64(header.result_size);
    return true;
}
