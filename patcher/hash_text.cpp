#include "hash_text.h"

#include <QFile>

#include <openssl/evp.h>

#include <memory>

namespace {

struct DigestDeleter
{
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};
using Digest = std::unique_ptr<EVP_MD_CTX, DigestDeleter>;

Digest start_digest()
{
    Digest ctx(EVP_MD_CTX_new());
    if (ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1)
        ctx.reset();
    return ctx;
}

QString finish_digest(EVP_MD_CTX *ctx)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(ctx, digest, &length) != 1)
        return QString();
    const QByteArray hex = QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex();
    return QString::fromLatin1(hex.left(HASH_TEXT_LENGTH));
}

} // namespace

QString hash_text(const char *data, std::size_t size)
{
    Digest ctx = start_digest();
    // SHA-256 of an empty range is well defined; EVP accepts a null pointer
    // only together with a zero length.
    if (!ctx || EVP_DigestUpdate(ctx.get(), size ? data : "", size) != 1)
        return QString();
    return finish_digest(ctx.get());
}

QString hash_text(const QByteArray &data)
{
    return hash_text(data.constData(), std::size_t(data.size()));
}

QString file_hash_text(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    Digest ctx = start_digest();
    if (!ctx)
        return QString();
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 count = file.read(buffer.data(), buffer.size());
        if (count < 0)
            return QString();
        if (count == 0)
            break;
        if (EVP_DigestUpdate(ctx.get(), buffer.constData(), std::size_t(count)) != 1)
            return QString();
    }
    return finish_digest(ctx.get());
}
