#pragma once

#include "app/constants.h"
#include "app/update_failure.h"
#include "transfer/transfer_attempt.h"
#include "transfer/transfer_request.h"
#include "transfer/transfer_sink.h"

#include <QObject>
#include <QString>
#include <QUrl>
#include <QVector>

#include <memory>

class QEventLoop;
class QNetworkAccessManager;
class RequestPrefetcher;
class SinkDevice;

// Fetches one body with HTTPS GETs of the request's address into a sink,
// which decides what the body becomes and judges it once it is whole. Failed
// transfers are resumed where they stopped and retried after growing pauses;
// a sink may continue a body of an earlier run, and one that turns out wrong
// comes again from its first byte. Whether a body that is not the file is
// fetched again past caches is the caller's decision (TransferRequest).
class Downloader : public QObject
{
    Q_OBJECT

public:
    // `prefetcher`: where requests sent ahead wait (may be null): the first
    // attempt of a transfer from nothing takes the one for its address, if
    // any, instead of asking anew.
    Downloader(const TransferRequest &request, TransferSink &sink,
               RequestPrefetcher *prefetcher = nullptr);
    ~Downloader() override;

    // How a transfer ended.
    enum class Ending {
        Done, // the sink judged the body, or the transfer failed: the failure tells
        HandedOn, // the body is complete and the sink's owner judges it later
        Cancelled // stopped by cancel(): the target stays as it was
    };
    // Runs the whole transfer (and what the sink does with the body) on the
    // calling thread, spinning local event loops, and returns when it is
    // over. `failure`: what went wrong (UpdateFault::None for nothing).
    Ending download(UpdateFailure &failure);

    // What is asked for: the inactivity limit of each request (a server
    // that sends nothing for this long ends the attempt, and so does one
    // that sends less than NETWORK_LOW_SPEED_BYTES in any span this long;
    // retries stop once the transfer has made no progress for twice this
    // long, see transfer()), the level past caches (and the key a fetch past
    // caches names), HTTP/2. Set before download().
    TransferRequest &request() { return asked; }
    // The pauses before the second, third... attempt; their number is the
    // number of retries.
    void set_retry_delays(const QVector<int> &delays_ms) { retry_delays_ms = delays_ms; }
    // The manager requests go through; by default the calling thread's own.
    void set_network_manager(QNetworkAccessManager *manager) { network_manager = manager; }

    // The outcome of the last attempt download() made: its HTTP status and
    // why it failed (Outcome::Complete when it did not).
    const TransferAttempt::Result &last_attempt() const { return final_attempt; }
    // Stops the transfer as soon as possible; download() then returns
    // Cancelled.
    void cancel();
    // The sink needs no more bytes (its reader has ended early): the attempt
    // under way stops, and the sink's verdict tells what happened.
    void end_attempt();

signals:
    void download_progress(qint64 bytes_read, qint64 bytes_total);
    // Told before each pause: why the attempt failed, the pause in seconds,
    // the number of the coming attempt and of attempts in all.
    void retrying(const QString &reason, int seconds, int attempt, int attempts);

private:
    enum class Attempts { Complete, Failed, Cancelled };

    Attempts transfer(SinkDevice &device, UpdateFailure &failure);
    bool pause(const QString &reason, int delay_ms, int attempt, int attempts);

    TransferRequest asked;
    TransferSink &sink;
    RequestPrefetcher *const prefetcher;
    QVector<int> retry_delays_ms = NETWORK_RETRY_DELAYS_MS;
    QNetworkAccessManager *network_manager = nullptr;

    // Set only while download() runs.
    TransferAttempt *attempt = nullptr;
    QEventLoop *pause_loop = nullptr;
    bool cancelled = false;
    bool sink_satisfied = false;
    TransferAttempt::Result final_attempt;
};
