#pragma once

#include <QString>

// Checks the detached signature of a published tree's manifest against the
// public keys in key_file (publisher --check --verify-key; a PEM file with
// one or more keys, any of which may have signed). A missing, short, long or
// wrong signature is a fault. Prints the fault on stderr, or the signing
// key's id on stdout; true when the signature is valid.
bool check_manifest_signature(const QString &dir, const QString &key_file);
