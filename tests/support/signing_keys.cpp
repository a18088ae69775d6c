#include "signing_keys.h"

#include <openssl/evp.h>
#include <openssl/pem.h>

#include <memory>

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Bio = std::unique_ptr<BIO, decltype(&BIO_free)>;

QByteArray bio_text(BIO *bio)
{
    char *data = nullptr;
    const long size = BIO_get_mem_data(bio, &data);
    return QByteArray(data, int(size));
}

TestKeyPair pem_pair(EVP_PKEY *made)
{
    const Key key(made, EVP_PKEY_free);
    const Bio private_bio(BIO_new(BIO_s_mem()), BIO_free);
    const Bio public_bio(BIO_new(BIO_s_mem()), BIO_free);
    if (!key || !private_bio || !public_bio ||
        PEM_write_bio_PrivateKey(private_bio.get(), key.get(), nullptr, nullptr, 0, nullptr,
                                 nullptr) != 1 ||
        PEM_write_bio_PUBKEY(public_bio.get(), key.get()) != 1)
        return {};
    return {bio_text(private_bio.get()), bio_text(public_bio.get())};
}

} // namespace

TestKeyPair make_test_key_pair(bool ec)
{
    return pem_pair(ec ? EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256")
                       : EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
}

TestKeyPair make_x25519_key_pair()
{
    return pem_pair(EVP_PKEY_Q_keygen(nullptr, nullptr, "X25519"));
}

QByteArray sign_ed25519(const QByteArray &private_pem, const QByteArray &message)
{
    const Bio bio(BIO_new_mem_buf(private_pem.constData(), private_pem.size()), BIO_free);
    const Key key(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr) : nullptr,
                  EVP_PKEY_free);
    const std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                          EVP_MD_CTX_free);
    QByteArray signature(64, '\0');
    size_t size = size_t(signature.size());
    if (!key || !context ||
        EVP_DigestSignInit(context.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
        EVP_DigestSign(context.get(), reinterpret_cast<unsigned char *>(signature.data()), &size,
                       reinterpret_cast<const unsigned char *>(message.constData()),
                       size_t(message.size())) != 1)
        return QByteArray();
    signature.resize(int(size));
    return signature;
}
