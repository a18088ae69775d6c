#include "fixture_certificates.h"

#include <cstdio>

namespace {

FixtureCertificates make_certificates()
{
    FixtureCertificates certs;
    std::string error;
    certs.valid = make_development_ca(&certs.ca, &error) &&
        make_server_certificate(certs.ca, &certs.server, &error);
    if (!certs.valid)
        std::fprintf(stderr, "HttpsFixture: cannot make certificates: %s\n", error.c_str());
    return certs;
}

} // namespace

const FixtureCertificates &fixture_certificates()
{
    static const FixtureCertificates certs = make_certificates();
    return certs;
}
