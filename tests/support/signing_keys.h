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
// An X25519 pair: a key-agreement key whose public key is 32 raw bytes, as
// an Ed25519 one is, and still no signing key.
TestKeyPair make_x25519_key_pair();
// The raw Ed25519 signature of message; empty on failure.
QByteArray sign_ed25519(const QByteArray &private_pem, const QByteArray &message);
