#include "hash_text.h"

#include <QFile>

#include <openssl/evp.h>

struct HashTextDigest::Context
{
    ~Context() { EVP_MD_CTX_free(md); }
    EVP_MD_CTX *md = EVP_MD_CTX_new();
};

HashTextDigest::HashTextDigest() : context(std::make_unique<Context>())
{
    ok = context->md && EVP_DigestInit_ex(context->md, EVP_sha256(), nullptr) == 1;
}

HashTextDigest::~HashTextDigest() = default;

bool HashTextDigest::valid() const
{
    return ok;
}

void HashTextDigest::add(const char *data, std::size_t size)
{
    // SHA-256 of an empty range is well defined; EVP accepts a null pointer
    // only together with a zero length.
    ok = ok && EVP_DigestUpdate(context->md, size ? data : "", size) == 1;
}

QString HashTextDigest::finish()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok || EVP_DigestFinal_ex(context->md, digest, &length) != 1)
        return QString();
    ok = false; // a digest ends once
    const QByteArray hex =
        QByteArray::fromRawData(reinterpret_cast<const char *>(digest), int(length)).toHex();
    return QString::fromLatin1(hex.left(HASH_TEXT_LENGTH));
}

QString hash_text(const char *data, std::size_t size)
{
    HashTextDigest digest;
    digest.add(data, size);
    return digest.finish();
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
    HashTextDigest digest;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    for (;;) {
        const qint64 count = file.read(buffer.data(), buffer.size());
        if (count < 0)
            return QString();
        if (count == 0)
            break;
        digest.add(buffer.constData(), std::size_t(count));
    }
    return digest.finish();
}
