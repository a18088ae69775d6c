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
#include "transfer/transfer_attempt.h"
#include "updater/release_order.h"

#include <QBuffer>
#include <QDateTime>
#include <QEventLoop>
#include <QJsonDocument>
#include <QTimer>

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

class LimitedBuffer : public QBuffer
{
protected:
    qint64 writeData(const char *data, qint64 size) override
    {
        return pos() + size > SIGNATURE_READ_LIMIT ? -1 : QBuffer::writeData(data, size);
    }
};

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
    ReleaseOrder order;
    order.load(folder);
    if (!order.allows(distribution, sequence))
        return TEXT_MANIFEST_OLDER;
    // A state that cannot be written only forgets the order; the manifest
    // itself is fine.
    order.accept(folder, distribution, sequence);
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

// Attempts as a transfer makes them: time-outs, lost connections, 5xx and
// 429 answers are tried again after the transfer's pauses (or the server's
// Retry-After); any other failure (a 404: there is no signature) ends at once.
bool ManifestReader::fetch_signature(const QUrl &url, bool past_caches, QByteArray &signature) const
{
    for (int attempt = 0;; ++attempt) {
        LimitedBuffer body;
        body.open(QIODevice::WriteOnly);
        TransferRequest request;
        request.url = url;
        request.timeout_ms = network_timeout_ms;
        request.cache_bypass = past_caches ? 1 : 0;
        TransferAttempt current(network_access::thread_manager(), request);
        const TransferAttempt::Result result = current.run(body);
        if (result.outcome == TransferAttempt::Outcome::Complete) {
            signature = body.data();
            return true;
        }
        using Outcome = TransferAttempt::Outcome;
        // A busy server (429, 503) and a connection that ended before the
        // answer began are tried again too, after the pause the server asked for.
        if ((result.outcome != Outcome::Retry && result.outcome != Outcome::Restart &&
             result.outcome != Outcome::Busy && result.outcome != Outcome::Resend) ||
            attempt >= retry_delays_ms.size())
            return false;
        QEventLoop pause;
        QTimer::singleShot(result.retry_after_ms >= 0 ? result.retry_after_ms
                                                      : retry_delays_ms[attempt],
                           &pause, &QEventLoop::quit);
        pause.exec();
    }
}

QString ManifestReader::refusal_of(const QUrl &url, const QByteArray &data,
                                   const QString &distribution) const
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
        QByteArray signature;
        const bool arrived = fetch_signature(signature_url, false, signature);
        bool valid = arrived && manifest_signature::verify(data, signature, public_keys);
        // A cache may hold the signature of the manifest before for a moment,
        // beside the new manifest: one more try past caches.
        if (arrived && !valid)
            valid = fetch_signature(signature_url, true, signature) &&
                manifest_signature::verify(data, signature, public_keys);
        if (valid)
            why = facts_refusal(data, distribution, game_folder.path());
    }
    return why;
}
