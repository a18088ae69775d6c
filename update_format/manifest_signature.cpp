#include "manifest_signature.h"

#include <QCryptographicHash>

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace manifest_signature {

namespace {

const QByteArray PEM_PUBLIC_KEY_BEGIN = "-----BEGIN PUBLIC KEY-----";

struct KeyFree
{
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
struct ContextFree
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
struct BioFree
{
    void operator()(BIO *bio) const { BIO_free(bio); }
};

bool verify_one(const QByteArray &message, const QByteArray &signature, const QByteArray &raw_key)
{
    if (raw_key.size() != PUBLIC_KEY_SIZE)
        return false;
    const std::unique_ptr<EVP_PKEY, KeyFree> key(EVP_PKEY_new_raw_public_key(
        EVP_PKEY_ED25519, nullptr, reinterpret_cast<const unsigned char *>(raw_key.constData()),
        size_t(raw_key.size())));
    const std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    // Ed25519 hashes the message itself: no digest is named, and the whole
    // message goes in one call.
    return key && context &&
        EVP_DigestVerifyInit(context.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
        EVP_DigestVerify(
            context.get(), reinterpret_cast<const unsigned char *>(signature.constData()),
            size_t(signature.size()), reinterpret_cast<const unsigned char *>(message.constData()),
            size_t(message.size())) == 1;
}

} // namespace

bool read_public_keys(const QByteArray &pem, QVector<QByteArray> *keys, QString *error)
{
    keys->clear();
    const int blocks = pem.count(PEM_PUBLIC_KEY_BEGIN);
    if (blocks == 0) {
        *error = QStringLiteral("no PEM \"PUBLIC KEY\" block");
        return false;
    }
    const std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(pem.constData(), pem.size()));
    for (int index = 1; bio && index <= blocks; ++index) {
        const std::unique_ptr<EVP_PKEY, KeyFree> key(
            PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
        QByteArray raw(PUBLIC_KEY_SIZE, '\0');
        size_t size = size_t(raw.size());
        if (!key) {
            *error = QStringLiteral("public key %1 does not read").arg(index);
        } else if (EVP_PKEY_id(key.get()) != EVP_PKEY_ED25519) {
            *error = QStringLiteral("public key %1 is not an Ed25519 key").arg(index);
        } else if (EVP_PKEY_get_raw_public_key(
                       key.get(), reinterpret_cast<unsigned char *>(raw.data()), &size) != 1 ||
                   size != size_t(PUBLIC_KEY_SIZE)) {
            *error = QStringLiteral("public key %1 does not read").arg(index);
        } else {
            keys->append(raw);
            continue;
        }
        break;
    }
    // Failures leave reasons in the thread's OpenSSL error queue, which the
    // TLS code of the same thread must not find later.
    ERR_clear_error();
    if (keys->size() == blocks)
        return true;
    if (!bio)
        *error = QStringLiteral("out of memory");
    keys->clear();
    return false;
}

bool verify(const QByteArray &message, const QByteArray &signature, const QVector<QByteArray> &keys,
            int *signer)
{
    if (signature.size() != SIGNATURE_SIZE)
        return false;
    for (int index = 0; index < keys.size(); ++index) {
        if (verify_one(message, signature, keys[index])) {
            if (signer)
                *signer = index;
            return true;
        }
    }
    ERR_clear_error();
    return false;
}

QString key_id(const QByteArray &raw_key)
{
    return QString::fromLatin1(
        QCryptographicHash::hash(raw_key, QCryptographicHash::Sha256).left(8).toHex());
}

} // namespace manifest_signature
