#pragma once

#include <QByteArray>
#include "transfer/transfer_request.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <deque>
#include <memory>

class QIODevice;
class QNetworkAccessManager;
class QNetworkReply;

// One HTTP GET of a file, appending the body to a local file (or spool). A request from
// an offset asks for the rest of the file (Range, with If-Range when the
// earlier bytes came with a validator; see TransferRequest). Only the body of a 200 or a matching 206
// answer is ever written; everything else (redirects, error statuses, a
// wrong range) is judged from the headers and never reaches the file.
//
// Besides the inactivity limit (timeout_ms without a byte), an attempt whose
// body comes in at less than NETWORK_LOW_SPEED_BYTES in any span of
// timeout_ms is ended as too slow: a server that trickles cannot keep it
// open for ever.
class TransferAttempt : public QObject
{
    Q_OBJECT

public:
    enum class Outcome {
        Complete, // the whole body arrived
        Retry, // connection failure, time-out, too slow, 5xx or short body: worth another try
        Resend, // the request never got an answer begun (a refused HTTP/2 stream, a
                // connection closed first): send it again, it was not an attempt
        Busy, // 429 or 503: the server asks to slow down, maybe saying when to return
        Restart, // the server cannot continue from the offset: start again from byte 0
        Fatal, // a failure that another try will not mend (4xx, redirect, TLS)
        WriteFailed, // the local file refused the bytes
        Aborted // abort() was called
    };
    // Why an attempt failed; the player's words for it are the transfer's
    // TEXT_RETRY_* constants, chosen by the Downloader.
    enum class Reason {
        None,
        NotResponding,
        TooSlow,
        CannotConnect,
        ConnectionLost,
        ServerError, // with the HTTP status
        WrongPart,
        CannotResume,
        TlsFailed,
        ServerBusy, // with the HTTP status
        Refused, // the stream was refused or never began
        Other // a failure no retry mends; never shown
    };
    struct Result
    {
        Result(Outcome outcome = Outcome::Fatal, Reason reason = Reason::None, int http_status = 0,
               int retry_after_ms = -1, const QString &error_text = QString())
            : outcome(outcome)
            , reason(reason)
            , http_status(http_status)
            , retry_after_ms(retry_after_ms)
            , error_text(error_text)
        {
        }
        Outcome outcome;
        Reason reason;
        int http_status;
        // The pause the server asked for (Retry-After); -1 when it named none.
        int retry_after_ms;
        // The network layer's words for a failure without an HTTP status.
        QString error_text;
    };

    TransferAttempt(QNetworkAccessManager &manager, const TransferRequest &request);

    // Runs the request on the calling thread in a local event loop. Once the
    // headers are accepted, before the first byte is written, body_start()
    // tells where the body begins: 0 when the server sends the whole file
    // again (the caller empties the file), or the request's offset.
    // validator() is known from then on.
    Result run(QIODevice &file);
    // Runs on a reply whose request (a GET of the whole file) went out
    // earlier; what it has received already is judged and written first.
    Result run_sent(QIODevice &file, std::unique_ptr<QNetworkReply> sent);
    void abort();
    // Ends the attempt as one to send again (Outcome::Resend) unless its
    // answer has begun: its connection is going away and may never start it.
    void resend_unanswered();
    // ETag (a strong one) or Last-Modified of the answer; "" when none.
    QByteArray validator() const { return answer_validator; }

signals:
    void body_start(qint64 start);
    // Bytes of the whole file that are complete on disk, and the whole
    // file's size (-1 while unknown).
    void received(qint64 complete, qint64 total);
    // Bytes were appended to the file (sent at every write, unlike the
    // network layer's progress reports, which come at most every 100 ms).
    void written();
    // Bytes arrived while the body comes at the low-speed limit or faster:
    // at least NETWORK_LOW_SPEED_BYTES within the last timeout_ms.
    void advanced();

public slots:
    void drain();

private:
    void watch(QNetworkReply *started);
    Result finish(std::unique_ptr<QNetworkReply> finished);
    void judge_headers();
    void report_progress(qint64 bytes_received, qint64 bytes_total);
    Result finish_result();
    void reject(Outcome outcome, Reason reason, int retry_after_ms = -1);
    void check_speed();
    // Body bytes received since the start of the low-speed window ending now.
    qint64 bytes_in_window();

    QNetworkAccessManager &manager;
    const TransferRequest request;
    const int timeout_ms;
    QIODevice *file = nullptr;
    QNetworkReply *reply = nullptr;
    qint64 offset = 0;
    qint64 start = 0; // where this answer's body begins in the file
    qint64 body_written = 0;
    qint64 body_length = -1; // Content-Length of this answer
    int http_status = 0;
    bool headers_judged = false;
    bool accepted = false;
    bool aborted = false;
    bool write_failed = false;
    bool rejected = false;
    Result rejection;
    QByteArray answer_validator;

    // The low-speed rule: body bytes received so far, and samples of that
    // count (time on `clock`, count) taken as the window moves.
    struct Sample
    {
        qint64 at_ms;
        qint64 bytes;
    };
    QTimer speed_timer;
    QElapsedTimer clock;
    std::deque<Sample> samples;
    qint64 bytes_in = 0;
};
