#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// Detached manifest signatures. Beside "patcher.json" lies
// "patcher.json.sig": the raw 64-byte Ed25519 signature over the manifest's
// exact bytes, as `openssl pkeyutl -sign -rawin` makes it, so operators can
// sign and check with standard tools. The keys that may sign come as PEM
// text holding one or more "PUBLIC KEY" blocks; any one of them may have
// signed, so a new key can be rolled in while the old one still counts.
// All cryptography is OpenSSL's (EVP).
namespace manifest_signature {

constexpr int SIGNATURE_SIZE = 64;
constexpr int PUBLIC_KEY_SIZE = 32;

// The signature travels as the manifest's name plus this suffix.
inline QString file_suffix()
{
    return QStringLiteral(".sig");
}

// Reads the raw public key of every "PUBLIC KEY" block of pem, in order.
// False, with the reason, when there is no such block, or when one of them
// does not read or holds no Ed25519 key: a key list that is only partly
// usable is refused as a whole.
bool read_public_keys(const QByteArray &pem, QVector<QByteArray> *keys, QString *error);

// True when signature is exactly SIGNATURE_SIZE bytes and a valid Ed25519
// signature of message under one of the raw keys. *signer (if given)
// receives the index of that key.
bool verify(const QByteArray &message, const QByteArray &signature, const QVector<QByteArray> &keys,
            int *signer = nullptr);

// A short name of a raw public key for reports: the first 8 bytes of its
// SHA-256 digest in hexadecimal.
QString key_id(const QByteArray &raw_key);

} // namespace manifest_signature
