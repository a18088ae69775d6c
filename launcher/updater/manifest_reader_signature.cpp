// Signed manifests: with keys set, a manifest counts only when the detached
// signature beside it was made over the exact bytes received by one of them,
// and when what those bytes say about the tree fits this game folder now:
// every file bound by its whole digest, the distribution it was fetched
// for, not expired, and no earlier release than one accepted here before.
// Whoever can write the served tree (a breached server, a mirror, a cache)
// then still cannot choose the files a player installs or the program the
// launcher starts.
#include "updater/manifest_reader.h"

#include "manifest_facts.h"
#include "manifest_signature.h"

#include "app/constants.h"
#include "app/network_access.h"
#include "updater/release_order.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QJsonDocument>

extern const char ORVEX_MANIFEST_KEYS_PEM[];

namespace {

QByteArray &compiled_or_set_keys()
{
    static QByteArray keys(ORVEX_MANIFEST_KEYS_PEM);
    return keys;
}

// A signature is 64 bytes: a server that sends far more is not sending one,
// and none of it is kept.
constexpr qint64 SIGNATURE_READ_LIMIT = 4096;

// Why a signed manifest does not fit the game folder at `folder`, or "" when
// it does. An accepted sequence is recorded for the folder's distribution.
QString facts_refusal(const QByteArray &data, const QString &distribution, const QString &folder)
{
    const QJsonObject manifest = QJsonDocument::fromJson(data).object();
    switch (ManifestFacts::fault_of(manifest, distribution, QDateTime::currentDateTimeUtc())) {
    case ManifestFacts::Fault::LacksDigests:
        return TEXT_MANIFEST_NO_DIGESTS;
    case ManifestFacts::Fault::LacksFacts:
        return TEXT_MANIFEST_NO_FACTS;
    case ManifestFacts::Fault::OtherDistribution:
        return TEXT_MANIFEST_OTHER_DISTRIBUTION;
    case ManifestFacts::Fault::Expired:
        return TEXT_MANIFEST_EXPIRED;
    case ManifestFacts::Fault::None:
        break;
    }
    const qint64 sequence = ManifestFacts::read(manifest).sequence;
    const QByteArray digest = QCryptographicHash::hash(data, QCryptographicHash::Sha256);
    ReleaseOrder order;
    order.load(folder);
    switch (order.check(distribution, sequence, digest)) {
    case ReleaseOrder::Verdict::Older:
        return TEXT_MANIFEST_OLDER;
    case ReleaseOrder::Verdict::OtherRelease:
        return TEXT_MANIFEST_OTHER_RELEASE;
    case ReleaseOrder::Verdict::Allowed:
        break;
    }
    // A state that cannot be written is kept in memory (and said in the
    // log); the manifest itself is fine.
    order.accept(folder, distribution, sequence, digest);
    return QString();
}

} // namespace

QByteArray ManifestReader::default_keys()
{
    return compiled_or_set_keys();
}

void ManifestReader::set_default_keys(const QByteArray &pem)
{
    compiled_or_set_keys() = pem;
}

QString ManifestReader::refusal_of(const QUrl &url, const QByteArray &data,
                                   const QString &distribution,
                                   const RetryNotice &retrying) const
{
    if (keys.isEmpty())
        return QString();
    // A key list that does not read refuses every manifest: it never falls
    // back to reading them unsigned.
    QVector<QByteArray> public_keys;
    QString error;
    QString why = TEXT_MANIFEST_SIGNATURE;
    if (manifest_signature::read_public_keys(keys, &public_keys, &error)) {
        const QUrl signature_url(url.toString() + manifest_signature::file_suffix(),
                                 QUrl::TolerantMode);
        Fetched signature = fetch(signature_url, SIGNATURE_READ_LIMIT, false, retrying);
        const auto valid = [&] {
            return signature.outcome == Fetched::Outcome::Arrived &&
                manifest_signature::verify(data, signature.data, public_keys);
        };
        // A cache may hold the signature of the manifest before for a moment,
        // beside the new manifest: one more try past caches.
        if (signature.outcome == Fetched::Outcome::Arrived && !valid())
            signature = fetch(signature_url, SIGNATURE_READ_LIMIT, true, retrying);
        if (valid())
            why = facts_refusal(data, distribution, game_folder.path());
        // A busy or unreachable server says nothing of the signature: the
        // player reads why it could not be fetched.
        else if (signature.outcome == Fetched::Outcome::Failed)
            why = signature.cause.isEmpty()
                ? TEXT_MANIFEST_SIGNATURE_UNREACHABLE
                : TEXT_FAILED_BECAUSE.arg(TEXT_MANIFEST_SIGNATURE_UNREACHABLE, signature.cause);
    }
    return why;
}
