#include "archive_check.h"

#include "hash_text.h"
#include "patch_format.h"

#include <QByteArray>
#include <QFile>

#include <bzlib.h>

namespace {

constexpr int CHUNK = 1 << 20;

// One bzip2 decompression stream, restarted for each concatenated stream.
class Decompressor
{
public:
    ~Decompressor() { end(); }
    Decompressor() = default;
    Decompressor(const Decompressor &) = delete;
    Decompressor &operator=(const Decompressor &) = delete;

    bool begin(char *input, unsigned size)
    {
        end();
        stream = bz_stream {};
        running = BZ2_bzDecompressInit(&stream, 0, 0) == BZ_OK;
        stream.next_in = input;
        stream.avail_in = size;
        return running;
    }
    void end()
    {
        if (running)
            BZ2_bzDecompressEnd(&stream);
        running = false;
    }

    bz_stream stream {};
    bool running = false;
};

} // namespace

bool read_archive(const QString &path, ArchiveContent *content, QString *error, QIODevice *output)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
        return false;
    }
    Decompressor bz;
    HashTextDigest digest;
    QByteArray in(CHUNK, Qt::Uninitialized);
    QByteArray out(CHUNK, Qt::Uninitialized);
    content->size = 0;
    bool in_stream = false; // inside a stream that has not ended yet
    bool any_stream = false;
    // Feeds input; keeps going while there is input or the output was full.
    auto pump = [&](char *next, unsigned left) {
        bool full = in_stream;
        while (left > 0 || (in_stream && full)) {
            if (!in_stream) {
                if (!bz.begin(next, left)) {
                    *error = QStringLiteral("cannot decompress %1").arg(path);
                    return false;
                }
                in_stream = any_stream = true;
            }
            bz.stream.next_in = next;
            bz.stream.avail_in = left;
            bz.stream.next_out = out.data();
            bz.stream.avail_out = unsigned(out.size());
            const int rc = BZ2_bzDecompress(&bz.stream);
            const qint64 produced = out.size() - qint64(bz.stream.avail_out);
            digest.add(out.constData(), size_t(produced));
            content->size += produced;
            if (output && produced > 0 && output->write(out.constData(), produced) != produced) {
                *error = QStringLiteral("cannot write what %1 holds").arg(path);
                return false;
            }
            full = bz.stream.avail_out == 0;
            next = bz.stream.next_in;
            left = bz.stream.avail_in;
            if (rc == BZ_STREAM_END) {
                in_stream = false;
                bz.end();
            } else if (rc != BZ_OK) {
                *error = QStringLiteral("%1 is damaged (bzip2 error %2)").arg(path).arg(rc);
                return false;
            } else if (left == 0 && !full) {
                break; // wants more input
            }
        }
        return true;
    };
    for (;;) {
        const qint64 count = file.read(in.data(), CHUNK);
        if (count < 0) {
            *error = QStringLiteral("cannot read %1: %2").arg(path, file.errorString());
            return false;
        }
        if (!pump(in.data(), unsigned(count)))
            return false;
        if (count == 0)
            break;
    }
    if (in_stream || !any_stream) {
        *error = QStringLiteral("%1 is cut short").arg(path);
        return false;
    }
    content->hash = digest.finish();
    return !content->hash.isEmpty();
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
