#include "transfer/downloader.h"

#include "app/network_access.h"
#include "transfer/request_prefetcher.h"
#include "transfer/transfer_attempt.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkReply>
#include <QTimer>
#include <QUrl>
#include <QUrlQuery>

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
    connect(&sink, &TransferSink::judged, this, &Downloader::judged_later);
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

// Transfers into the sink until it has judged a whole body. A body continued
// from an earlier transfer that turns out wrong is fetched once more from its
// first byte; a whole one that is not the file is fetched again past caches
// (refetch_level). Only locals are touched after the final emission: a
// receiver may delete this.
void Downloader::download()
{
    qint64 offset = 0;
    Failure failure;
    if (!sink.open(asked.cache_bypass == 0, offset, asked.validator, failure)) {
        emit download_error(failure.code, failure.text);
        return;
    }
    for (;;) {
        const Ending ending = transfer(failure);
        if (ending == Ending::Cancelled) {
            sink.abandon(TransferSink::Abandon::Cancelled);
            return;
        }
        if (ending == Ending::Failed) {
            // A transfer that may continue later keeps what arrived.
            const bool resumable = failure.code == CODE_DOWNLOAD_FAILED && sink.size() > 0;
            sink.abandon(resumable ? TransferSink::Abandon::Resumable
                                   : TransferSink::Abandon::Failed);
            emit download_error(failure.code, failure.text);
            return;
        }
        const TransferSink::Verdict verdict = sink.finish(failure);
        if (verdict == TransferSink::Verdict::Failed) {
            emit download_error(failure.code, failure.text);
            return;
        }
        if (verdict == TransferSink::Verdict::HandedOn) {
            emit handed_on();
            return;
        }
        if (cancelled)
            return;
        if (verdict == TransferSink::Verdict::WrongContinued && sink.restart()) {
            asked.validator.clear();
            continue;
        }
        const int level = refetch_level(failure);
        if (level > 0 && sink.restart()) {
            asked.cache_bypass = level;
            asked.validator.clear();
            continue;
        }
        sink.settle();
        report(failure);
        return;
    }
}

// The sink judged a body handed on, after the transfer: the file's outcome.
// Fetching it again is a transfer of its own, which the owner starts when
// its turn comes.
void Downloader::judged_later(int code, const QString &text)
{
    const Failure failure {code, text};
    const int level = refetch_level(failure);
    sink.settle();
    if (level > 0)
        emit fetch_again(level);
    else
        report(failure);
}

int Downloader::refetch_level(const Failure &failure) const
{
    return failure.code == CODE_FILE_DAMAGED ? asked.next_cache_bypass() : 0;
}

void Downloader::report(const Failure &failure)
{
    if (failure.code != 0)
        emit download_error(failure.code, failure.text);
    else
        emit download_finished();
}

// Runs attempts until one completes, a failure is final, or the retries are
// used up. Each attempt continues from what is already in the file.
//
// Retries also end, with 905, once the transfer has made no progress for
// about twice the transfer time-out (a minute by default). Progress is a moment at
// which an attempt has received at least NETWORK_LOW_SPEED_BYTES within the
// last time-out span (TransferAttempt::advanced); an attempt that ends as too
// slow or silent has made none for a whole span. So a body sent at a byte a
// second ends after two slow attempts, while a transfer that was going well
// when its connection dropped gets the whole minute of pauses.
Downloader::Ending Downloader::transfer(Failure &failure)
{
    QNetworkAccessManager &manager =
        network_manager ? *network_manager : network_access::thread_manager();
    const QUrl address = asked.address();
    const int transfer_timeout_ms = asked.timeout_ms;
    const int attempts = retry_delays_ms.size() + 1;
    bool sink_satisfied = false;
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
            return Ending::Cancelled;
        TransferRequest sending = asked;
        sending.offset = sink.size();
        TransferAttempt current(manager, sending);
        attempt = &current;
        connect(&current, &TransferAttempt::body_start, this, [&](qint64 start) {
            // The server sends the whole file again: start over cleanly.
            if (start == 0 && sink.size() > 0)
                sink.restart();
            // What a resumption names in If-Range.
            if (start == 0 || !current.validator().isEmpty())
                asked.validator = current.validator();
            sink.body_started(asked.validator);
        });
        connect(&current, &TransferAttempt::written, &sink, &TransferSink::appended);
        connect(&current, &TransferAttempt::received, this, &Downloader::download_progress);
        connect(&current, &TransferAttempt::advanced, this, [&] { since_progress.restart(); });
        const QMetaObject::Connection early =
            connect(&sink, &TransferSink::satisfied, &current, [&] {
                sink_satisfied = true;
                current.abort();
            });
        std::unique_ptr<QNetworkReply> sent;
        if (prefetcher && asked.cache_bypass == 0 && number == 1 && sink.size() == 0)
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
        const TransferAttempt::Result result = sent
            ? current.run_sent(sink.device(), std::move(sent))
            : current.run(sink.device());
        disconnect(early);
        disconnect(refusals);
        lost_check.stop();
        attempt = nullptr;
        sink.appended();
        last = result;
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
            return Ending::Done;
        case Outcome::Aborted:
            // The sink needs no more: its verdict tells what happened.
            return cancelled ? Ending::Cancelled : Ending::Done;
        case Outcome::WriteFailed:
            failure = sink.write_failure();
            return Ending::Failed;
        case Outcome::Fatal:
            failure = final_failure(last);
            return Ending::Failed;
        case Outcome::Restart:
            sink.restart();
            asked.validator.clear();
            break;
        case Outcome::Resend:
            if (++resends <= RESENDS_PER_ATTEMPT) {
                --number; // the server never began its answer: not an attempt
                break;
            }
            resends = 0;
            if (number < attempts && !pause(reason_text(result), -1, number + 1, attempts))
                return Ending::Cancelled;
            break;
        case Outcome::Busy:
            // The server is up and asks for patience: no progress limit, the
            // pause it named (or the usual one).
            if (number < attempts &&
                !pause(TEXT_RETRY_SERVER_BUSY, result.retry_after_ms, number + 1, attempts))
                return Ending::Cancelled;
            break;
        case Outcome::Retry:
            if (since_progress.elapsed() >= progress_limit)
                number = attempts; // no progress for too long: this was the last
            else if (number < attempts && !pause(reason_text(result), -1, number + 1, attempts))
                return Ending::Cancelled;
            break;
        }
        if (sink_satisfied)
            return Ending::Done;
    }
    failure = final_failure(last);
    return cancelled ? Ending::Cancelled : Ending::Failed;
}

Downloader::Failure Downloader::final_failure(const TransferAttempt::Result &last) const
{
    const QString text = TEXT_DOWNLOAD_FAILED.arg(sink.name());
    const QString cause = failure_cause(last);
    // One arg() call: a name holding "%1" stays as it is.
    return {CODE_DOWNLOAD_FAILED, cause.isEmpty() ? text : TEXT_FAILED_BECAUSE.arg(text, cause)};
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
