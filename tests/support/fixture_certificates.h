#pragma once

#include "certs.h"

// The CA and server certificate that every fixture of this process uses, made
// once on first use. Sharing one CA lets several fixtures run side by side
// while the default TLS configuration trusts a single extra certificate.
struct FixtureCertificates
{
    PemPair ca;
    PemPair server;
    bool valid = false;
};

const FixtureCertificates &fixture_certificates();
