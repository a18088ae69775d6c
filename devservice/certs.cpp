#include "certs.h"

#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <memory>

namespace {

constexpr long DAY_SECONDS = 24L * 60 * 60;
constexpr long CA_VALID_DAYS = 3650;
constexpr long SERVER_VALID_DAYS = 825;

struct Deleter
{
    void operator()(X509 *p) const { X509_free(p); }
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
    void operator()(BIO *p) const { BIO_free(p); }
    void operator()(X509_EXTENSION *p) const { X509_EXTENSION_free(p); }
    void operator()(BIGNUM *p) const { BN_free(p); }
};
using X509Ptr = std::unique_ptr<X509, Deleter>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter>;
using BioPtr = std::unique_ptr<BIO, Deleter>;

bool fail(std::string *error, const char *what)
{
    if (error) {
        char buf[256] = {};
        ERR_error_string_n(ERR_get_error(), buf, sizeof buf);
        *error = std::string(what) + ": " + buf;
    }
    ERR_clear_error();
    return false;
}

KeyPtr new_key()
{
    // P-256 keys are made instantly, unlike RSA; every TLS stack in use accepts them.
    return KeyPtr(EVP_EC_gen("P-256"));
}

bool set_random_serial(X509 *cert)
{
    std::unique_ptr<BIGNUM, Deleter> bn(BN_new());
    if (!bn || !BN_rand(bn.get(), 120, BN_RAND_TOP_ANY, BN_RAND_BOTTOM_ANY))
        return false;
    return BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) != nullptr;
}

bool add_ext(X509 *cert, X509 *issuer, int nid, const char *value)
{
    X509V3_CTX ctx;
    X509V3_set_ctx_nodb(&ctx);
    X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
    std::unique_ptr<X509_EXTENSION, Deleter> ext(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value));
    return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

// A certificate with subject CN, key, serial and validity; issuer and
// extensions are up to the caller.
X509Ptr new_cert(const char *common_name, EVP_PKEY *key, long valid_days)
{
    X509Ptr cert(X509_new());
    if (!cert || X509_set_version(cert.get(), 2) != 1 || !set_random_serial(cert.get()))
        return nullptr;
    // Back-dated a day so that a clock a little behind still accepts it.
    if (!X509_gmtime_adj(X509_getm_notBefore(cert.get()), -DAY_SECONDS) ||
        !X509_gmtime_adj(X509_getm_notAfter(cert.get()), valid_days * DAY_SECONDS))
        return nullptr;
    X509_NAME *name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>("Orvex Development"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char *>(common_name), -1, -1, 0);
    if (X509_set_pubkey(cert.get(), key) != 1)
        return nullptr;
    return cert;
}

bool to_pem(X509 *cert, EVP_PKEY *key, PemPair *out)
{
    BioPtr cbio(BIO_new(BIO_s_mem()));
    BioPtr kbio(BIO_new(BIO_s_mem()));
    if (!cbio || !kbio || PEM_write_bio_X509(cbio.get(), cert) != 1 ||
        PEM_write_bio_PrivateKey(kbio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
        return false;
    char *data = nullptr;
    long len = BIO_get_mem_data(cbio.get(), &data);
    out->cert.assign(data, static_cast<size_t>(len));
    len = BIO_get_mem_data(kbio.get(), &data);
    out->key.assign(data, static_cast<size_t>(len));
    return true;
}

BioPtr read_bio(const std::string &pem)
{
    return BioPtr(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
}

} // namespace

bool make_development_ca(PemPair *ca, std::string *error)
{
    KeyPtr key = new_key();
    if (!key)
        return fail(error, "CA key");
    X509Ptr cert = new_cert("Orvex Development CA", key.get(), CA_VALID_DAYS);
    if (!cert)
        return fail(error, "CA certificate");
    X509_set_issuer_name(cert.get(), X509_get_subject_name(cert.get()));
    if (!add_ext(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE,pathlen:0") ||
        !add_ext(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign") ||
        !add_ext(cert.get(), cert.get(), NID_subject_key_identifier, "hash"))
        return fail(error, "CA extensions");
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) == 0)
        return fail(error, "CA signature");
    if (!to_pem(cert.get(), key.get(), ca))
        return fail(error, "CA encoding");
    return true;
}

bool make_server_certificate(const PemPair &ca, PemPair *server, std::string *error)
{
    BioPtr cbio = read_bio(ca.cert);
    BioPtr kbio = read_bio(ca.key);
    X509Ptr ca_cert(cbio ? PEM_read_bio_X509(cbio.get(), nullptr, nullptr, nullptr) : nullptr);
    KeyPtr ca_key(kbio ? PEM_read_bio_PrivateKey(kbio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!ca_cert || !ca_key)
        return fail(error, "reading the CA");
    if (X509_check_private_key(ca_cert.get(), ca_key.get()) != 1)
        return fail(error, "CA key does not match the CA certificate");

    KeyPtr key = new_key();
    if (!key)
        return fail(error, "server key");
    X509Ptr cert = new_cert("localhost", key.get(), SERVER_VALID_DAYS);
    if (!cert)
        return fail(error, "server certificate");
    X509_set_issuer_name(cert.get(), X509_get_subject_name(ca_cert.get()));
    if (!add_ext(cert.get(), ca_cert.get(), NID_basic_constraints, "critical,CA:FALSE") ||
        !add_ext(cert.get(), ca_cert.get(), NID_key_usage,
                 "critical,digitalSignature,keyEncipherment") ||
        !add_ext(cert.get(), ca_cert.get(), NID_ext_key_usage, "serverAuth") ||
        !add_ext(cert.get(), ca_cert.get(), NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1") ||
        !add_ext(cert.get(), ca_cert.get(), NID_subject_key_identifier, "hash") ||
        !add_ext(cert.get(), ca_cert.get(), NID_authority_key_identifier, "keyid:always"))
        return fail(error, "server extensions");
    if (X509_sign(cert.get(), ca_key.get(), EVP_sha256()) == 0)
        return fail(error, "server signature");
    if (!to_pem(cert.get(), key.get(), server))
        return fail(error, "server encoding");
    return true;
}

bool certificate_valid_for_days(const std::string &cert_pem, int days)
{
    BioPtr bio = read_bio(cert_pem);
    X509Ptr cert(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    ERR_clear_error();
    if (!cert)
        return false;
    time_t later = time(nullptr) + static_cast<time_t>(days) * DAY_SECONDS;
    return X509_cmp_current_time(X509_get0_notBefore(cert.get())) < 0 &&
        X509_cmp_time(X509_get0_notAfter(cert.get()), &later) > 0;
}

bool certificate_signed_by(const std::string &cert_pem, const std::string &ca_pem)
{
    BioPtr cbio = read_bio(cert_pem);
    BioPtr abio = read_bio(ca_pem);
    X509Ptr cert(cbio ? PEM_read_bio_X509(cbio.get(), nullptr, nullptr, nullptr) : nullptr);
    X509Ptr ca(abio ? PEM_read_bio_X509(abio.get(), nullptr, nullptr, nullptr) : nullptr);
    const bool ok = cert && ca && X509_verify(cert.get(), X509_get0_pubkey(ca.get())) == 1;
    ERR_clear_error();
    return ok;
}
