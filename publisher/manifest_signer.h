#pragma once

#include <QByteArray>
#include <QString>

#include <memory>

typedef struct evp_pkey_st EVP_PKEY;

// Signs published manifests (publisher --sign-key) with an Ed25519 private
// key in PEM, as `openssl genpkey -algorithm ed25519` makes it: beside the
// manifest of a tree it writes the detached signature that the launcher
// checks (see manifest_signature.h).
class ManifestSigner
{
public:
    ManifestSigner();
    ~ManifestSigner();
    ManifestSigner(const ManifestSigner &) = delete;
    ManifestSigner &operator=(const ManifestSigner &) = delete;

    // Reads the private key; false, with the reason, when the file does not
    // read or holds no Ed25519 private key. An encrypted key asks for its
    // passphrase on the terminal.
    bool load(const QString &pem_file, QString *error);
    bool loaded() const { return key != nullptr; }
    // The raw public half of the loaded key.
    QByteArray public_key() const;

    // Signs the manifest of `tree` exactly as it lies on disk and writes the
    // signature beside it (replaced whole, never half written).
    bool sign_manifest(const QString &tree, QString *error) const;
    // The raw 64-byte signature of message.
    bool sign(const QByteArray &message, QByteArray *signature) const;

private:
    struct KeyFree
    {
        void operator()(EVP_PKEY *key) const;
    };
    std::unique_ptr<EVP_PKEY, KeyFree> key;
};
