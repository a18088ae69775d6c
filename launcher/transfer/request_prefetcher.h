#pragma once

#include <QElapsedTimer>
#include <QHash>
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
// had asked.
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
// each clean answer lets one more go; a Retry-After holds every new request
// back until it has passed (wait_ms).
class RequestPrefetcher : public QObject
{
    Q_OBJECT

public:
    explicit RequestPrefetcher(QObject *parent = nullptr);
    ~RequestPrefetcher() override;

    // Sends a GET of address now, unless one is already waiting for it.
    void prefetch(const QUrl &address, int timeout_ms);
    // The same for the transfer of url (Downloader::address_of) of the file
    // `name`; holds_file(name) tells whether its reply is still waiting, at
    // the cost of a lookup by name.
    void prefetch_file(const QString &name, const QString &url, int timeout_ms);
    bool holds_file(const QString &name) const;
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
    // A request was answered cleanly.
    void answered();
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
    // The addresses (as replies are keyed) of the files asked for, by name.
    QHash<QString, QString> addresses;
    // Replies dropped for a body too large to hold: not asked for again.
    QSet<QString> dropped;
    // A child of this object, made when first needed, and its requests not
    // yet finished.
    QNetworkAccessManager *own_manager = nullptr;
    int own_in_flight = 0;
    bool multiplexed = false;
    Distance distance = Distance::Unknown;
    int slow_answers = 0;

    // The pace: requests allowed at once; serials up to halved_serial were
    // sent before the last halving and halve no more; new requests wait
    // until resume_at_ms on `clock`.
    int allowed;
    quint64 sent_serial = 0;
    quint64 halved_serial = 0;
    qint64 resume_at_ms = 0;
    QElapsedTimer clock;
};
