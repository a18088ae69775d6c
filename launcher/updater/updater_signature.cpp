// Signed manifests: with keys set, a manifest counts only when the detached
// signature beside it was made over the exact bytes received by one of them.
// Whoever can write the served tree (a breached server, a mirror, a cache)
// then still cannot choose the files a player installs or the program the
// launcher starts.
#include "updater/updater.h"

#include "manifest_signature.h"

#include "app/blocking_request.h"

#include <QNetworkReply>

#include <memory>

extern const char ORVEX_MANIFEST_KEYS_PEM[];

namespace {

QByteArray &default_keys()
{
    static QByteArray keys(ORVEX_MANIFEST_KEYS_PEM);
    return keys;
}

} // namespace

QByteArray Updater::default_manifest_keys()
{
    return default_keys();
}

void Updater::set_default_manifest_keys(const QByteArray &pem)
{
    default_keys() = pem;
}

bool Updater::signature_accepted(const QUrl &url, const QByteArray &data)
{
    if (manifest_keys.isEmpty())
        return true;
    // A key list that does not read refuses every manifest: it never falls
    // back to reading them unsigned.
    QVector<QByteArray> keys;
    QString error;
    bool valid = manifest_signature::read_public_keys(manifest_keys, &keys, &error);
    if (valid) {
        const QUrl signature_url(url.toString() + manifest_signature::file_suffix(),
                                 QUrl::TolerantMode);
        const std::unique_ptr<QNetworkReply> reply =
            BlockingRequest(signature_url, network_timeout_ms).get();
        // Any failure to fetch it, a 404 included, leaves no signature.
        valid = reply->error() == QNetworkReply::NoError &&
            manifest_signature::verify(data, reply->readAll(), keys);
    }
    if (!valid)
        signature_refused = true;
    return valid;
}

bool Updater::refuse_unsigned_run()
{
    if (!signature_refused)
        return false;
    end_with_error(CODE_MANIFEST_SIGNATURE, TEXT_MANIFEST_SIGNATURE);
    return true;
}
