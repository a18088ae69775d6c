#pragma once

#include <QByteArray>

// Key pairs and signatures for the tests of signed manifests, made in
// process with OpenSSL.
struct TestKeyPair
{
    QByteArray private_pem; // PKCS#8, as `openssl genpkey` writes it
    QByteArray public_pem; // SubjectPublicKeyInfo ("PUBLIC KEY")
};

// A fresh Ed25519 key pair, or with ec set a P-256 pair (a key of the wrong
// kind). Empty PEM texts on failure.
TestKeyPair make_test_key_pair(bool ec = false);
// The raw Ed25519 signature of message; empty on failure.
QByteArray sign_ed25519(const QByteArray &private_pem, const QByteArray &message);
