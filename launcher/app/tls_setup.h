#pragma once

#include <QByteArray>

// Adds the compiled-in development CA (if the build has one) to the default
// TLS configuration, on top of the system CAs. A production build has none and
// this does nothing.
void install_development_ca();

// Trusts the given PEM CA certificates in addition to the system CAs for every
// connection that uses the default TLS configuration from now on.
void trust_additional_ca(const QByteArray &pem);
