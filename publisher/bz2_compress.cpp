#include "bz2_compress.h"

#include "bz2_parallel_encoder.h"
#include "hash_text.h"

#include <QByteArray>
#include <QFile>

bool bz2_compress_file(const QString &source, const QString &target, QThreadPool *pool,
                       CompressedFile *result, QString *error, std::atomic<qint64> *bytes_read)
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
    HashTextDigest digest;
    Bz2ParallelEncoder encoder(&out, pool, in.size());
    result->size = 0;
    bool first = true;
    const int block_input = encoder.piece_size();
    for (;;) {
        QByteArray block(block_input, Qt::Uninitialized);
        const qint64 count = in.read(block.data(), block_input);
        if (count < 0) {
            *error = QStringLiteral("cannot read %1: %2").arg(source, in.errorString());
            return false;
        }
        if (count == 0 && !first)
            break;
        first = false;
        block.truncate(int(count));
        digest.add(block.constData(), size_t(count));
        result->size += count;
        if (bytes_read)
            *bytes_read += count;
        encoder.add(block);
        if (count < block_input && in.atEnd())
            break;
    }
    if (!encoder.finish() || !out.flush()) {
        *error =
            QStringLiteral("cannot compress %1 into %2: %3").arg(source, target, out.errorString());
        return false;
    }
    result->hash = digest.finish();
    result->sha256 = digest.digest_text();
    if (result->hash.isEmpty()) {
        *error = QStringLiteral("cannot hash %1").arg(source);
        return false;
    }
    return true;
}
