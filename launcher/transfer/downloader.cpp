#include "transfer/downloader.h"

#include "app/network_access.h"
#include "transfer/request_prefetcher.h"
#include "transfer/sink_device.h"
#include "transfer/transfer_attempt.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

namespace {

// The player's words for why an attempt failed, in the retry notice.
QString reason_text(const TransferAttempt::Result &result)
{
    using Reason = TransferAttempt::Reason;
    switch (result.reason) {
    case Reason::NotResponding:
        return TEXT_RETRY_NOT_RESPONDING;
    case Reason::TooSlow:
        return TEXT_RETRY_TOO_SLOW;
    case Reason::CannotConnect:
        return TEXT_RETRY_CANNOT_CONNECT;
    case Reason::ConnectionLost:
        return TEXT_RETRY_CONNECTION_LOST;
    case Reason::ServerError:
        return TEXT_RETRY_SERVER_ERROR.arg(result.http_status);
    case Reason::WrongPart:
        return TEXT_RETRY_WRONG_PART;
    case Reason::CannotResume:
        return TEXT_RETRY_CANNOT_RESUME;
    case Reason::TlsFailed:
        return TEXT_RETRY_TLS_FAILED;
    case Reason::ServerBusy:
        return TEXT_RETRY_SERVER_BUSY;
    case Reason::Refused:
        return TEXT_RETRY_CONNECTION_LOST;
    case Reason::None:
    case Reason::Other:
        break;
    }
    return QString();
}

// Why the last attempt failed, for the final error: the HTTP status the
// server answered, else the network failure in the player's words (or the
// network layer's, when there are none).
QString failure_cause(const TransferAttempt::Result &result)
{
    using Reason = TransferAttempt::Reason;
    const bool status_failed =
        result.reason == Reason::ServerError || result.reason == Reason::ServerBusy;
    if (result.http_status != 0 && status_failed)
        return TEXT_SERVER_ANSWERED.arg(result.http_status);
    QString cause = reason_text(result);
    if (cause.isEmpty())
        cause = result.error_text;
    if (cause.isEmpty() && result.http_status != 0)
        return TEXT_SERVER_ANSWERED.arg(result.http_status);
    if (cause.isEmpty())
        return cause;
    // Inside the sentence: "(connection lost)".
    if (cause.size() > 1 && cause.at(1).isLower())
        cause[0] = cause.at(0).toLower();
    return cause;
}

// A request that never got its answer begun is sent again at once, without
// counting as an attempt, up to this many times in a row.
constexpr int RESENDS_PER_ATTEMPT = 4;

} // namespace

Downloader::Downloader(const TransferRequest &request, TransferSink &sink,
                       RequestPrefetcher *prefetcher)
    : asked(request), sink(sink), prefetcher(prefetcher)
{
}

Downloader::~Downloader() = default;

void Downloader::cancel()
{
    cancelled = true;
    if (attempt)
        attempt->abort();
    if (pause_loop)
        pause_loop->quit();
}

void Downloader::end_attempt()
{
    if (!attempt)
        return;
    sink_satisfied = true;
    attempt->abort();
}

// Transfers into the sink until it has judged a whole body. A body continued
// from an earlier transfer that turns out wrong is fetched once more from its
// first byte.
Downloader::Ending Downloader::download(UpdateFailure &failure)
{
    failure = {};
    TransferSink::Resume resume;
    if (!sink.open(asked.cache_bypass == 0, resume, failure))
        return Ending::Done;
    SinkDevice device(sink, resume.offset, resume.validator);
    for (;;) {
        const Attempts ending = transfer(device, failure);
        if (ending == Attempts::Cancelled) {
            sink.abort(TransferSink::Abandon::Cancelled);
            return Ending::Cancelled;
        }
        if (ending == Attempts::Failed) {
            // A transfer that may continue later keeps what arrived.
            const bool resumable =
                failure.fault == UpdateFault::TransferFailed && device.held() > 0;
            sink.abort(resumable ? TransferSink::Abandon::Resumable
                                 : TransferSink::Abandon::Failed);
            return Ending::Done;
        }
        const TransferSink::Verdict verdict = sink.finish(failure);
        if (verdict == TransferSink::Verdict::HandedOn)
            return Ending::HandedOn;
        if (cancelled)
            return Ending::Cancelled;
        if (verdict == TransferSink::Verdict::Done)
            return Ending::Done;
        device.start_over();
        failure = {};
    }
}

// Runs attempts until one completes, a failure is final, or the retries are
// used up. Each attempt continues from what is already in the file.
//
// Retries also end, the transfer failing, once it has made no progress for
// about twice the transfer time-out (a minute by default). Progress is a moment at
// which an attempt has received at least NETWORK_LOW_SPEED_BYTES within the
// last time-out span (TransferAttempt::advanced); an attempt that ends as too
// slow or silent has made none for a whole span. So a body sent at a byte a
// second ends after two slow attempts, while a transfer that was going well
// when its connection dropped gets the whole minute of pauses.
Downloader::Attempts Downloader::transfer(SinkDevice &device, UpdateFailure &failure)
{
    QNetworkAccessManager &manager =
        network_manager ? *network_manager : network_access::thread_manager();
    const QUrl address = asked.address();
    const int transfer_timeout_ms = asked.timeout_ms;
    const int attempts = retry_delays_ms.size() + 1;
    sink_satisfied = false;
    QElapsedTimer since_progress;
    since_progress.start();
    // The network layer's timers may strike a little early (up to 5 %).
    const qint64 progress_limit = 2 * qint64(transfer_timeout_ms) - transfer_timeout_ms / 8;
    int resends = 0;
    bool lost_resent = false;
    TransferAttempt::Result last;
    for (int number = 1; number <= attempts; ++number) {
        // A server that asked the requests sent ahead to wait gets its pause
        // from this one too; the wait is not an attempt.
        const int asked_wait_ms = prefetcher ? prefetcher->wait_ms() : 0;
        if (asked_wait_ms > 0 &&
            !pause(TEXT_RETRY_SERVER_BUSY, asked_wait_ms, number, attempts))
            return Attempts::Cancelled;
        TransferRequest sending = asked;
        sending.offset = device.held();
        sending.validator = device.validator();
        TransferAttempt current(manager, sending);
        attempt = &current;
        // The server may send the whole file again: the sink starts over.
        connect(&current, &TransferAttempt::body_start, this,
                [&](qint64 start) { device.begin(start, current.validator()); });
        connect(&current, &TransferAttempt::received, this, &Downloader::download_progress);
        connect(&current, &TransferAttempt::advanced, this, [&] { since_progress.restart(); });
        std::unique_ptr<QNetworkReply> sent;
        if (prefetcher && asked.cache_bypass == 0 && number == 1 && device.held() == 0)
            sent = prefetcher->take(address);
        // A reply that finished before it was taken has told its pace already.
        const bool judged_ahead = sent && sent->isFinished();
        const quint64 serial = !prefetcher ? 0
            : sent                         ? RequestPrefetcher::serial_of(*sent)
                                           : prefetcher->next_serial();
        QMetaObject::Connection refusals;
        QTimer lost_check;
        if (prefetcher) {
            refusals = connect(prefetcher, &RequestPrefetcher::streams_refused, &current,
                               [&current, serial](quint64 last) {
                                   if (serial <= last)
                                       current.resend_unanswered();
                               });
            // A small file's request may share an HTTP/2 connection that went
            // away without starting it: sent again once, when later requests
            // were answered or none was for a while.
            if (asked.http2_allowed && !lost_resent) {
                QElapsedTimer waiting;
                waiting.start();
                connect(&lost_check, &QTimer::timeout, &current, [&, waiting, serial] {
                    if (waiting.elapsed() >= RequestPrefetcher::LOST_AFTER_MS &&
                        (prefetcher->overtaken(serial) || prefetcher->silent())) {
                        lost_resent = true;
                        current.resend_unanswered();
                    }
                });
                lost_check.start(RequestPrefetcher::LOST_AFTER_MS / 4);
            }
        }
        const TransferAttempt::Result result =
            sent ? current.run_sent(device, std::move(sent)) : current.run(device);
        disconnect(refusals);
        lost_check.stop();
        attempt = nullptr;
        last = result;
        final_attempt = result;
        using Outcome = TransferAttempt::Outcome;
        if (prefetcher && result.outcome == Outcome::Resend &&
            result.reason == TransferAttempt::Reason::Refused)
            prefetcher->stream_refused();
        if (prefetcher && !judged_ahead) {
            if (result.outcome == Outcome::Busy ||
                result.reason == TransferAttempt::Reason::ConnectionLost)
                prefetcher->slowed_down(serial, result.retry_after_ms);
            else if (result.outcome == Outcome::Complete)
                prefetcher->answered(serial);
        }

        switch (result.outcome) {
        case Outcome::Complete:
            if (device.refusal().failed()) {
                failure = device.refusal();
                return Attempts::Failed;
            }
            return Attempts::Complete;
        case Outcome::Aborted:
            // The sink needs no more: its verdict tells what happened.
            return cancelled ? Attempts::Cancelled : Attempts::Complete;
        case Outcome::WriteFailed:
            failure = device.refusal();
            return Attempts::Failed;
        case Outcome::Fatal:
            failure = {UpdateFault::TransferFailed, QString(), failure_cause(last)};
            return Attempts::Failed;
        case Outcome::Restart:
            device.start_over();
            break;
        case Outcome::Resend:
            if (++resends <= RESENDS_PER_ATTEMPT) {
                --number; // the server never began its answer: not an attempt
                break;
            }
            resends = 0;
            if (number < attempts && !pause(reason_text(result), -1, number + 1, attempts))
                return Attempts::Cancelled;
            break;
        case Outcome::Busy:
            // The server is up and asks for patience: no progress limit, the
            // pause it named (or the usual one).
            if (number < attempts &&
                !pause(TEXT_RETRY_SERVER_BUSY, result.retry_after_ms, number + 1, attempts))
                return Attempts::Cancelled;
            break;
        case Outcome::Retry:
            if (since_progress.elapsed() >= progress_limit)
                number = attempts; // no progress for too long: this was the last
            else if (number < attempts && !pause(reason_text(result), -1, number + 1, attempts))
                return Attempts::Cancelled;
            break;
        }
        if (sink_satisfied)
            return Attempts::Complete;
    }
    failure = {UpdateFault::TransferFailed, QString(), failure_cause(last)};
    return cancelled ? Attempts::Cancelled : Attempts::Failed;
}

// Waits before the next attempt without blocking the thread's events:
// `delay_ms`, or the usual pause before that attempt when it is negative.
// False when the transfer was cancelled meanwhile.
bool Downloader::pause(const QString &reason, int delay_ms, int next_attempt, int attempts)
{
    if (cancelled)
        return false;
    if (delay_ms < 0)
        delay_ms = retry_delays_ms.value(next_attempt - 2, 0);
    emit retrying(reason, (delay_ms + 999) / 1000, next_attempt, attempts);
    QEventLoop loop;
    pause_loop = &loop;
    QTimer::singleShot(delay_ms, &loop, &QEventLoop::quit);
    loop.exec();
    pause_loop = nullptr;
    return !cancelled;
}
