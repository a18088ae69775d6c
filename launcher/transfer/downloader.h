#pragma once

#include "app/constants.h"
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

// Fetches one body with HTTPS GETs of the request's address into a sink, which decides
// what the body becomes and judges it once it is whole. Failed transfers are
// resumed where they stopped and retried after growing pauses; a sink may
// continue a body of an earlier run. A whole body that the sink finds is not
// the file is fetched again past caches: at once when the sink judged it
// before the transfer ended, else by a new transfer at the level fetch_again
// names. The outcome is told only by signals; one object serves one transfer.
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

    // Runs the whole transfer (and what the sink does with the body) on the
    // calling thread, spinning local event loops, and returns when it is
    // over. After the final signal the object may already be deleted by a
    // receiver.
    void download();

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

    // Stops the transfer as soon as possible; download() then returns
    // without any further signal and the target stays as it was.
    void cancel();

signals:
    // After any progress, exactly one of download_finished (the sink took
    // the body and found it good), download_error, or handed_on (the body is
    // complete and the sink judges it later); none when cancelled. After
    // handed_on, once the sink has judged: download_finished, download_error,
    // or fetch_again (the body is not the file: a new transfer is to fetch
    // it past caches at `level`, from its first byte).
    void download_error(int error_code, const QString &what);
    void download_progress(qint64 bytes_read, qint64 bytes_total);
    void download_finished();
    void handed_on();
    void fetch_again(int level);
    // Told before each pause: why the attempt failed, the pause in seconds,
    // the number of the coming attempt and of attempts in all.
    void retrying(const QString &reason, int seconds, int attempt, int attempts);

private:
    enum class Ending { Done, Failed, Cancelled };
    using Failure = TransferSink::Failure;

    Ending transfer(Failure &failure);
    bool pause(const QString &reason, int delay_ms, int attempt, int attempts);
    // 905, saying why the last attempt failed.
    Failure final_failure(const TransferAttempt::Result &last) const;
    // The level at which a body judged with `failure` is fetched again past
    // caches: a whole body that is not the file, while a level is left; else 0.
    int refetch_level(const Failure &failure) const;
    // The sink's later verdict on a body handed on.
    void judged_later(int code, const QString &text);
    // Tells a final verdict: download_finished, or download_error.
    void report(const Failure &failure);

    TransferRequest asked;
    TransferSink &sink;
    RequestPrefetcher *const prefetcher;
    QVector<int> retry_delays_ms = NETWORK_RETRY_DELAYS_MS;
    QNetworkAccessManager *network_manager = nullptr;

    // Set only while download() runs.
    TransferAttempt *attempt = nullptr;
    QEventLoop *pause_loop = nullptr;
    bool cancelled = false;
};
