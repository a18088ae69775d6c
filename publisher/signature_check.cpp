#include "signature_check.h"

#include "manifest_facts.h"
#include "manifest_signature.h"
#include "update_layout.h"

#include <QDateTime>
#include <QFile>
#include <QJsonDocument>
#include <QVector>

#include <cstdio>

namespace {

bool read_file(const QString &path, QByteArray *data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    *data = file.readAll();
    return true;
}

bool fault(const QString &text)
{
    std::fprintf(stderr, "publisher: %s\n", qPrintable(text));
    return false;
}

} // namespace

bool check_manifest_signature(const QString &dir, const QString &key_file)
{
    QByteArray pem;
    QVector<QByteArray> keys;
    QString error;
    if (!read_file(key_file, &pem))
        return fault(QStringLiteral("cannot read the public key file %1").arg(key_file));
    if (!manifest_signature::read_public_keys(pem, &keys, &error))
        return fault(QStringLiteral("%1: %2").arg(key_file, error));

    const QString manifest_path = dir + QLatin1Char('/') + update_layout::manifest_file();
    const QString signature_path = manifest_path + manifest_signature::file_suffix();
    QByteArray manifest, signature;
    if (!read_file(manifest_path, &manifest))
        return fault(QStringLiteral("%1 cannot be read").arg(manifest_path));
    if (!read_file(signature_path, &signature))
        return fault(QStringLiteral("the signature %1 is missing").arg(signature_path));
    if (signature.size() != manifest_signature::SIGNATURE_SIZE)
        return fault(QStringLiteral("the signature %1 has %2 bytes instead of %3")
                         .arg(signature_path)
                         .arg(signature.size())
                         .arg(manifest_signature::SIGNATURE_SIZE));
    int signer = -1;
    if (!manifest_signature::verify(manifest, signature, keys, &signer))
        return fault(QStringLiteral("the signature %1 does not match %2 under any key of %3")
                         .arg(signature_path, manifest_path, key_file));
    std::printf("signature of %s: valid, key %s\n", qPrintable(manifest_path),
                qPrintable(manifest_signature::key_id(keys[signer])));
    // Launchers with a key refuse a signed manifest that lacks what binds the
    // tree, or has expired.
    const QJsonObject object = QJsonDocument::fromJson(manifest).object();
    switch (ManifestFacts::fault_of(object, ManifestFacts::read(object).distribution,
                                    QDateTime::currentDateTimeUtc())) {
    case ManifestFacts::Fault::None:
    case ManifestFacts::Fault::OtherDistribution:
        return true;
    case ManifestFacts::Fault::LacksDigests:
        return fault(QStringLiteral("%1 lists a file without \"sha256\"").arg(manifest_path));
    case ManifestFacts::Fault::LacksFacts:
        return fault(QStringLiteral("%1 has no \"sequence\" or no \"distribution\"")
                         .arg(manifest_path));
    case ManifestFacts::Fault::Expired:
        return fault(QStringLiteral("%1 has expired").arg(manifest_path));
    }
    return true;
}
