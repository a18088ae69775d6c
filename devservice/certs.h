#pragma once

#include <string>

// Development certificates made in-process with OpenSSL: a CA and a server
// certificate for "localhost" and 127.0.0.1 signed by it. Used by the local
// service and by the test fixture, so neither needs the openssl command.

struct PemPair
{
    std::string cert; // PEM certificate
    std::string key; // PEM private key (PKCS#8, unencrypted)
};

// Makes a self-signed CA certificate with a fresh key. Returns false and sets
// error on failure.
bool make_development_ca(PemPair *ca, std::string *error);

// Issues a server certificate for the names "localhost" and 127.0.0.1 with a
// fresh key, signed by the given CA.
bool make_server_certificate(const PemPair &ca, PemPair *server, std::string *error);

// True when the PEM certificate parses and is valid now and for at least the
// given number of days.
bool certificate_valid_for_days(const std::string &cert_pem, int days);

// True when the PEM certificate carries a valid signature of the PEM CA.
bool certificate_signed_by(const std::string &cert_pem, const std::string &ca_pem);
