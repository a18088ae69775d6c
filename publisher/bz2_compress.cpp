#include "bz2_compress.h"

#include "hash_text.h"

#include <QByteArray>
#include <QFile>

#include <bzlib.h>

namespace {

constexpr int CHUNK = 1 << 20;

class Compressor
{
public:
    Compressor() { ok = BZ2_bzCompressInit(&stream, 9, 0, 0) == BZ_OK; }
    ~Compressor()
    {
        if (ok)
            BZ2_bzCompressEnd(&stream);
    }
    Compressor(const Compressor &) = delete;
    Compressor &operator=(const Compressor &) = delete;

    // Feeds input (action BZ_RUN) or ends the stream (BZ_FINISH), writing
    // whatever comes out.
    bool feed(char *input, unsigned size, int action, QFile &out)
    {
        stream.next_in = input;
        stream.avail_in = size;
        for (;;) {
            stream.next_out = buffer.data();
            stream.avail_out = unsigned(buffer.size());
            const int rc = BZ2_bzCompress(&stream, action);
            const qint64 produced = buffer.size() - qint64(stream.avail_out);
            if (rc < 0 || out.write(buffer.constData(), produced) != produced)
                return false;
            if (action == BZ_FINISH ? rc == BZ_STREAM_END : stream.avail_in == 0)
                return true;
        }
    }

    bool ok = false;

private:
    bz_stream stream {};
    QByteArray buffer {CHUNK, Qt::Uninitialized};
};

} // namespace

bool bz2_compress_file(const QString &source, const QString &target, CompressedFile *result,
                       QString *error)
{
    QFile in(source);
    QFile out(target);
    if (!in.open(QIODevice::ReadOnly)) {
        *error = QStringLiteral("cannot read %1: %2").arg(source, in.errorString());
        return false;
    }
    if (!out.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1: %2").arg(target, out.errorString());
        return false;
    }
    Compressor compressor;
    HashTextDigest digest;
    QByteArray chunk(CHUNK, Qt::Uninitialized);
    result->size = 0;
    bool fine = compressor.ok;
    while (fine) {
        const qint64 count = in.read(chunk.data(), CHUNK);
        if (count < 0) {
            *error = QStringLiteral("cannot read %1: %2").arg(source, in.errorString());
            return false;
        }
        if (count == 0)
            break;
        digest.add(chunk.constData(), size_t(count));
        result->size += count;
        fine = compressor.feed(chunk.data(), unsigned(count), BZ_RUN, out);
    }
    if (!fine || !compressor.feed(nullptr, 0, BZ_FINISH, out) || !out.flush()) {
        *error =
            QStringLiteral("cannot compress %1 into %2: %3").arg(source, target, out.errorString());
        return false;
    }
    result->hash = digest.finish();
    if (result->hash.isEmpty()) {
        *error = QStringLiteral("cannot hash %1").arg(source);
        return false;
    }
    return true;
}
