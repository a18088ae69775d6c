#pragma once

#include <QElapsedTimer>
#include "transfer/transfer_request.h"

#include <QHash>
#include <QTimer>
#include <QObject>
#include <QSet>
#include <QString>
#include <QUrl>
#include <QVector>

#include <memory>
#include <unordered_map>

class QNetworkAccessManager;
class QNetworkReply;

// Requests for the next few small files, sent while the current one is still
// under way, so that the round trip of each request overlaps the work on the
// files before it. A transfer takes its reply over when its turn comes; what
// nobody took is dropped with clear(). The requests are those the transfer
// would send itself: the answers are judged by the transfer exactly as if it
// had asked (both build it from the same TransferRequest). Replies are kept
// by address.
//
// Over HTTP/1.1 the network layer keeps at most six connections to a server
// per manager, and a request beyond those waits for one to free. That is
// enough for a server close by, whose answers come faster than the files
// are worked on; from a distant one the transfers would wait on round trips.
// So the first answers are timed: until one has come quickly, or a round
// after the first has come late, no more requests are under way than one
// manager's connections; when they came late (a distant server), a second
// manager of this object's own carries two more, so that no more than eight
// connections to the server are ever open (firewalls and CDNs limit
// connections per client). An answer over HTTP/2, which carries every
// request on one connection, sends them all through the thread's manager.
//
// The object also keeps the pace the server asks for. A 429 or 503 answer, or
// a connection the server reset, halves the requests that may be under way
// (down to one: the current transfer's own) once per round of requests, and
// each clean answer lets one more go, up to just below where the server
// refused (beyond that, one more per round of answers); a Retry-After holds
// every new request back until it has passed (wait_ms).
class RequestPrefetcher : public QObject
{
    Q_OBJECT

signals:
    // Requests up to serial `last` without an answer begun are to be sent
    // again (stream_refused).
    void streams_refused(quint64 last);

public:
    explicit RequestPrefetcher(QObject *parent = nullptr);
    ~RequestPrefetcher() override;

    // Sends the request now, unless one is already waiting for its address.
    void prefetch(const TransferRequest &request);
    // Whether the reply under key (key_of) is still waiting here (or was
    // dropped for a body too large to hold: not to be asked for again).
    bool holds(const QString &key) const;
    // The key the reply sent ahead for request is kept under.
    static QString key_of(const TransferRequest &request);
    // Whether one more request may be sent ahead of at most `wanted`.
    bool has_room(int wanted) const;
    // The reply sent ahead for address (maybe finished already), or null.
    std::unique_ptr<QNetworkReply> take(const QUrl &address);
    // Aborts and drops every reply nobody took, and forgets the pace.
    void clear();

    // The serial of a request sent now; replies sent ahead carry theirs.
    quint64 next_serial() { return ++sent_serial; }
    static quint64 serial_of(const QNetworkReply &reply);
    // The server asked to slow down in its answer to request `serial`
    // (retry_after_ms: the pause it named, -1 for none).
    void slowed_down(quint64 serial, int retry_after_ms);
    // Request `serial` was answered cleanly.
    void answered(quint64 serial);
    // Whether requests sent well after `serial` have been answered: over
    // HTTP/2 a request whose connection went away may never be started nor
    // failed by the network layer, and one without any answer while later
    // ones come is taken for lost.
    bool overtaken(quint64 serial) const { return newest_answered >= serial + OVERTAKEN_BY; }
    // Whether no request has finished for LOST_AFTER_MS.
    bool silent() const { return clock.elapsed() - last_answer_ms >= LOST_AFTER_MS; }
    // How long a request waits for its answer to begin before it may be
    // taken for lost.
    static constexpr int LOST_AFTER_MS = 2000;
    // A stream was refused or never began: the connection it was sent on is
    // going away, and may never start the others sent on it. Those held
    // here are dropped, to be asked for again, and streams_refused tells
    // the transfers.
    void stream_refused();
    // How long the server asked every request to wait still; 0 for none.
    int wait_ms() const;
    // Requests that may be under way at once, the current transfer's included.
    int allowed_requests() const { return allowed; }

private:
    enum class Distance { Unknown, Near, Far };

    // The manager for the next request; `own` tells whether it is the
    // object's own, whose requests are counted.
    QNetworkAccessManager &next_manager(bool &own);
    void time_answer(QNetworkReply *reply);
    // Takes the pace from an answer nobody took yet; a refused or
    // slowed-down request is dropped, to be asked for again.
    void judge_answer(const QString &key, QNetworkReply *reply);
    // `keep_out`: not asked for again (see `dropped`).
    void drop(const QString &key, const QNetworkReply *reply_sent, bool keep_out = true);

    struct KeyHash
    {
        size_t operator()(const QString &key) const { return qHash(key); }
    };
    std::unordered_map<QString, std::unique_ptr<QNetworkReply>, KeyHash> replies;
    // Replies dropped for a body too large to hold: not asked for again.
    QSet<QString> dropped;
    // A child of this object, made when first needed, and its requests not
    // yet finished.
    QNetworkAccessManager *own_manager = nullptr;
    int own_in_flight = 0;
    // Requests sent ahead and not yet finished, taken or not.
    int in_flight = 0;
    bool multiplexed = false;
    Distance distance = Distance::Unknown;
    int slow_answers = 0;

    // The pace: requests allowed at once, and how many were under way when
    // the server last refused (clean answers since allowed reached it);
    // serials up to halved_serial were sent before the last halving and
    // halve no more; new requests wait until resume_at_ms on `clock`.
    int allowed;
    int refused_at;
    int answers_past = 0;
    quint64 sent_serial = 0;
    quint64 halved_serial = 0;
    quint64 refused_serial = 0;
    quint64 newest_answered = 0;
    qint64 last_answer_ms = 0; // on `clock`: when a request last finished
    static constexpr quint64 OVERTAKEN_BY = 8;
    // Drops held requests taken for lost, to be asked for again.
    void drop_lost();
    QTimer lost_check;
    qint64 resume_at_ms = 0;
    QElapsedTimer clock;
};
