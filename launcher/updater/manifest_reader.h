#pragma once

#include "app/constants.h"
#include "files/game_folder.h"
#include "updater/manifest.h"

#include <QByteArray>
#include <QString>
#include <QUrl>
#include <QVector>

#include <functional>

// Fetches a manifest and reads it into a Manifest value. With keys set, a
// manifest is used only when the signature beside it (its name + ".sig") is
// valid over the exact bytes received, and when it gives every file's
// "sha256", its "sequence" and the "distribution" it was fetched for, has not
// expired and is no earlier release than one this game folder accepted before
// (ReleaseOrder). Empty keys: manifests are read as they come and no
// signature is ever requested. Blocking: runs on the calling thread.
class ManifestReader
{
public:
    // `game`: the folder the manifests are read for (the program name must
    // lie in it, and it keeps the release order).
    explicit ManifestReader(const GameFolder &game);

    // Inactivity limit of each fetch.
    void set_network_timeout(int ms) { network_timeout_ms = ms; }
    // Pauses before the retries of a signature fetch.
    void set_retry_delays(const QVector<int> &delays_ms) { retry_delays_ms = delays_ms; }
    void set_keys(const QByteArray &pem) { keys = pem; }
    // The keys each new reader starts with: those compiled in
    // (ORVEX_MANIFEST_PUBLIC_KEY) unless replaced here.
    static QByteArray default_keys();
    static void set_default_keys(const QByteArray &pem);

    // What the player reads while a fetch waits for its next attempt.
    using RetryNotice = std::function<void(const QString &status)>;

    // Fetches base + manifest_name, fetched for `distribution`; calls
    // `fetched` once the fetch has ended, whatever its outcome, before the
    // signature is looked at. With `retrying` given, a fetch that fails is
    // tried again as a file's transfer is, and `retrying` is told before
    // each pause; without it, each document gets one attempt (a read that
    // only fills in the versions must not keep the player waiting).
    Manifest read(const QUrl &base, const QString &manifest_name, const QString &distribution,
                  const std::function<void()> &fetched,
                  const RetryNotice &retrying = RetryNotice()) const;
    // A document as it stands (one that does not parse reads as empty).
    Manifest parse(const QByteArray &data, const QUrl &base) const;

private:
    // What fetching a document came to.
    struct Fetched
    {
        enum class Outcome {
            Arrived, // the whole document is in `data`
            Missing, // the server has none (404 or 410)
            Failed, // busy, unreachable or refused, after the transfer's retries
        };
        Outcome outcome = Outcome::Failed;
        QByteArray data;
        // Why it failed, in the player's words ("server answered 503").
        QString cause;
    };
    // Fetches a document of at most `limit` bytes the way game files are
    // fetched: time-outs, lost connections, 5xx, 429 (after its Retry-After)
    // and refused streams are tried again after the transfer's pauses.
    Fetched fetch(const QUrl &url, qint64 limit, bool past_caches,
                  const RetryNotice &retrying) const;
    // Why the manifest fetched from url (its bytes in data) may not be used;
    // "" when it may.
    QString refusal_of(const QUrl &url, const QByteArray &data, const QString &distribution,
                       const RetryNotice &retrying) const;

    const GameFolder game_folder;
    QByteArray keys;
    int network_timeout_ms = NETWORK_INACTIVITY_TIMEOUT_MS;
    QVector<int> retry_delays_ms = NETWORK_RETRY_DELAYS_MS;
};
