#include "transfer/transfer_attempt.h"

#include "app/blocking_request.h"
#include "app/constants.h"
#include "transfer/retry_after.h"

#include <QIODevice>
#include <QNetworkAccessManager>
#include <QDateTime>
#include <QNetworkReply>
#include <QRegularExpression>

#include <memory>

namespace {

// Bounds what the network layer may hold ahead of the disk writes.
constexpr qint64 READ_BUFFER_SIZE = 1 << 20;

// The low-speed window moves in steps of this part of the time-out.
constexpr int SPEED_STEPS_PER_WINDOW = 16;

TransferAttempt::Reason connection_reason(QNetworkReply::NetworkError error, bool body_started)
{
    using Reason = TransferAttempt::Reason;
    switch (error) {
    case QNetworkReply::OperationCanceledError: // the inactivity limit
    case QNetworkReply::TimeoutError:
        return Reason::NotResponding;
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::HostNotFoundError:
        return Reason::CannotConnect;
    default:
        return body_started ? Reason::ConnectionLost : Reason::CannotConnect;
    }
}

// Failures of a request whose answer never began: an HTTP/2 server that
// refused the stream or went away before starting it (GOAWAY, REFUSED_STREAM,
// or a stream the network layer had not sent yet), or a connection closed
// before the first byte of the answer.
bool never_began(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ContentReSendError:
    case QNetworkReply::ProtocolUnknownError:
    case QNetworkReply::RemoteHostClosedError:
        return true;
    default:
        return false;
    }
}

bool is_retryable(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TemporaryNetworkFailureError:
    case QNetworkReply::NetworkSessionFailedError:
    case QNetworkReply::UnknownNetworkError:
    case QNetworkReply::ProxyConnectionRefusedError:
    case QNetworkReply::ProxyConnectionClosedError:
    case QNetworkReply::ProxyTimeoutError:
    case QNetworkReply::ProtocolFailure:
        return true;
    default:
        return false;
    }
}

// First byte of a "bytes FIRST-LAST/TOTAL" Content-Range and the total
// (-1 for "*"); false when the header does not have that form.
bool parse_content_range(const QByteArray &header, qint64 &first, qint64 &total)
{
    static const QRegularExpression form(QStringLiteral("^bytes (\\d+)-(\\d+)/(\\d+|\\*)$"));
    const QRegularExpressionMatch match = form.match(QString::fromLatin1(header.trimmed()));
    if (!match.hasMatch())
        return false;
    bool ok = false;
    first = match.captured(1).toLongLong(&ok);
    if (!ok)
        return false;
    total = match.captured(3) == QLatin1String("*") ? -1 : match.captured(3).toLongLong(&ok);
    return ok;
}

} // namespace

TransferAttempt::TransferAttempt(QNetworkAccessManager &manager, const TransferRequest &request)
    : manager(manager), request(request), timeout_ms(request.timeout_ms)
{
    speed_timer.setInterval(qMax(1, timeout_ms / SPEED_STEPS_PER_WINDOW));
    connect(&speed_timer, &QTimer::timeout, this, &TransferAttempt::check_speed);
}

TransferAttempt::Result TransferAttempt::run(QIODevice &target)
{
    file = &target;
    offset = request.offset;
    BlockingRequest exchange(request.to_network_request());
    exchange.use_manager(manager);
    return finish(exchange.get([this](QNetworkReply *started) { watch(started); }));
}

TransferAttempt::Result TransferAttempt::run_sent(QIODevice &target,
                                                  std::unique_ptr<QNetworkReply> sent)
{
    file = &target;
    offset = 0;
    return finish(BlockingRequest::wait_for(sent.release(), [this](QNetworkReply *started) {
        watch(started);
        // Its signals so far went unheard: catch up with what it holds.
        drain();
        if (accepted && body_written > 0)
            report_progress(body_written, body_length);
    }));
}

void TransferAttempt::watch(QNetworkReply *started)
{
    reply = started;
    reply->setReadBufferSize(READ_BUFFER_SIZE);
    connect(reply, &QNetworkReply::metaDataChanged, this, &TransferAttempt::judge_headers);
    connect(reply, &QNetworkReply::readyRead, this, &TransferAttempt::drain);
    connect(reply, &QNetworkReply::downloadProgress, this, &TransferAttempt::report_progress);
    clock.start();
    samples.assign(1, Sample {0, bytes_in});
    speed_timer.start();
}

qint64 TransferAttempt::bytes_in_window()
{
    // Keeps the newest sample at or before the window's start, and the later ones.
    const qint64 start = clock.elapsed() - timeout_ms;
    while (samples.size() > 1 && samples[1].at_ms <= start)
        samples.pop_front();
    return bytes_in - samples.front().bytes;
}

// A body that has come in, but at less than the low-speed limit over a whole
// window, ends the attempt. A window without any byte is left to the
// inactivity limit, which ends the attempt at about the same moment and
// tells it as "not responding".
void TransferAttempt::check_speed()
{
    if (!reply || !reply->isRunning())
        return;
    const qint64 in_window = bytes_in_window();
    if (clock.elapsed() >= timeout_ms && in_window > 0 && in_window < NETWORK_LOW_SPEED_BYTES) {
        reject(Outcome::Retry, Reason::TooSlow);
        return;
    }
    samples.push_back({clock.elapsed(), bytes_in});
}

TransferAttempt::Result TransferAttempt::finish(std::unique_ptr<QNetworkReply> finished)
{
    judge_headers(); // a reply that finished without reporting its headers
    drain(); // and anything it holds that no signal announced
    speed_timer.stop();
    const Result result = finish_result();
    reply = nullptr;
    file = nullptr;
    finished.reset();
    return result;
}

void TransferAttempt::abort()
{
    aborted = true;
    if (reply && reply->isRunning())
        reply->abort();
}

void TransferAttempt::resend_unanswered()
{
    if (reply && reply->isRunning() && !headers_judged && !aborted && !rejected)
        reject(Outcome::Resend, Reason::Refused);
}

void TransferAttempt::reject(Outcome outcome, Reason reason, int retry_after_ms)
{
    rejected = true;
    rejection = {outcome, reason, http_status, retry_after_ms, QString()};
    if (reply->isRunning())
        reply->abort();
}

// Decides from the status line and headers whether this body belongs in the
// file and where it starts.
void TransferAttempt::judge_headers()
{
    if (headers_judged || !reply)
        return;
    const QVariant status_value = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status_value.isValid())
        return; // no answer yet (or none at all)
    headers_judged = true;
    const int status = status_value.toInt();
    http_status = status;

    const QByteArray etag = reply->rawHeader("ETag");
    answer_validator =
        !etag.isEmpty() && !etag.startsWith("W/") ? etag : reply->rawHeader("Last-Modified");
    bool length_ok = false;
    body_length = reply->header(QNetworkRequest::ContentLengthHeader).toLongLong(&length_ok);
    if (!length_ok)
        body_length = -1;

    if (status == 200) {
        start = 0;
    } else if (status == 206) {
        qint64 first = -1;
        qint64 total = -1;
        if (!parse_content_range(reply->rawHeader("Content-Range"), first, total) ||
            first != offset) {
            reject(Outcome::Restart, Reason::WrongPart);
            return;
        }
        start = offset;
    } else if (status == 416) {
        reject(Outcome::Restart, Reason::CannotResume);
        return;
    } else if (status == 429 || status == 503) {
        reject(Outcome::Busy, Reason::ServerBusy,
               retry_after::delay_ms(reply->rawHeader("Retry-After"),
                                     QDateTime::currentDateTimeUtc()));
        return;
    } else if (status >= 500 && status <= 599) {
        reject(Outcome::Retry, Reason::ServerError);
        return;
    } else {
        reject(Outcome::Fatal, Reason::ServerError);
        return;
    }
    accepted = true;
    emit body_start(start);
}

void TransferAttempt::drain()
{
    if (!reply)
        return;
    if (!headers_judged)
        judge_headers();
    if (!reply->isOpen())
        return; // aborted: what it held is not wanted
    const QByteArray data = reply->readAll();
    if (!accepted || data.isEmpty() || write_failed)
        return;
    if (file->write(data) != data.size()) {
        write_failed = true;
        if (reply->isRunning())
            reply->abort();
        return;
    }
    body_written += data.size();
    bytes_in += data.size();
    emit written();
    if (bytes_in_window() >= NETWORK_LOW_SPEED_BYTES)
        emit advanced();
}

void TransferAttempt::report_progress(qint64 bytes_received, qint64 bytes_total)
{
    if (!accepted)
        return;
    emit received(start + bytes_received, bytes_total < 0 ? -1 : start + bytes_total);
}

TransferAttempt::Result TransferAttempt::finish_result()
{
    if (aborted)
        return {Outcome::Aborted};
    if (write_failed)
        return {Outcome::WriteFailed};
    if (rejected)
        return rejection;
    const QNetworkReply::NetworkError error = reply->error();
    if (accepted && error == QNetworkReply::NoError) {
        if (body_length >= 0 && body_written < body_length)
            return {Outcome::Retry, Reason::ConnectionLost};
        return {Outcome::Complete};
    }
    if (error == QNetworkReply::NoError) // finished without a status line
        return {Outcome::Retry, Reason::ConnectionLost};
    const QString text = reply->errorString();
    if (!headers_judged && never_began(error)) {
        const Reason why = error == QNetworkReply::RemoteHostClosedError ? Reason::ConnectionLost
                                                                         : Reason::Refused;
        return {Outcome::Resend, why, 0, -1, text};
    }
    if (error == QNetworkReply::SslHandshakeFailedError)
        return {Outcome::Fatal, Reason::TlsFailed, 0, -1, text};
    if (is_retryable(error))
        return {Outcome::Retry, connection_reason(error, body_written > 0), 0, -1, text};
    return {Outcome::Fatal, Reason::Other, 0, -1, text};
}
