#pragma once

#include <QString>

// Files of the service's certificates in its state folder.
struct CertPaths
{
    QString ca_cert;
    QString ca_key;
    QString server_cert;
    QString server_key;
};

// Makes sure the state folder holds a development CA and a current server
// certificate signed by it: an existing CA is kept (a development launcher
// build may have it compiled in), a missing, expiring or foreign server
// certificate is issued anew. Private keys are written readable by the owner
// only.
bool prepare_certificates(const QString &state_dir, CertPaths *paths, QString *error);
