#include "updater/file_hasher.h"

#include <QFile>
#include <QtConcurrent/QtConcurrentMap>

#include <openssl/evp.h>

#include <memory>
#include <vector>

namespace {

// Big enough to keep system calls rare, small enough to stay in the core's
// cache between the read and the digest.
constexpr qint64 READ_BLOCK_SIZE = 256 * 1024;

using DigestContext = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;

DigestContext new_sha256_context()
{
    DigestContext context(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
    if (context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1)
        context.reset();
    return context;
}

QString finish_hash_text(EVP_MD_CTX *context)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context, digest, &length) != 1)
        return QString();
    const QByteArray hex =
        QByteArray::fromRawData(reinterpret_cast<const char *>(digest), int(length)).toHex();
    return QString::fromLatin1(hex.left(FileHasher::HASH_TEXT_LENGTH));
}

} // namespace

QString FileHasher::hash_text(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return QString();
    DigestContext context = new_sha256_context();
    if (!context)
        return QString();
    // One buffer per thread for all the files it hashes: a fresh block of
    // this size per file would cost a mapping and its page faults each time.
    thread_local std::vector<char> buffer(READ_BLOCK_SIZE);
    for (;;) {
        const qint64 got = file.read(buffer.data(), READ_BLOCK_SIZE);
        if (got <= 0)
            break;
        EVP_DigestUpdate(context.get(), buffer.data(), size_t(got));
    }
    return finish_hash_text(context.get());
}

QStringList FileHasher::hash_texts(const QStringList &paths)
{
    return QtConcurrent::blockingMapped<QStringList>(paths, &FileHasher::hash_text);
}

QString FileHasher::hash_text_of(const QByteArray &data)
{
    DigestContext context = new_sha256_context();
    if (!context)
        return QString();
    EVP_DigestUpdate(context.get(), data.constData(), size_t(data.size()));
    return finish_hash_text(context.get());
}
