#pragma once

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
// manager's connections; when they came late (a distant server), the
// requests are spread over a few managers of this object's own as well. An
// answer over HTTP/2, which carries every request on one connection, sends
// them all through the thread's manager.
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
    // Aborts and drops every reply nobody took.
    void clear();

private:
    enum class Distance { Unknown, Near, Far };

    QNetworkAccessManager &next_manager();
    void time_answer(QNetworkReply *reply);
    void drop(const QString &key, const QNetworkReply *reply_sent);

    struct KeyHash
    {
        size_t operator()(const QString &key) const { return qHash(key); }
    };
    std::unordered_map<QString, std::unique_ptr<QNetworkReply>, KeyHash> replies;
    // The addresses (as replies are keyed) of the files asked for, by name.
    QHash<QString, QString> addresses;
    // Replies dropped for a body too large to hold: not asked for again.
    QSet<QString> dropped;
    // Children of this object, made when first needed.
    QVector<QNetworkAccessManager *> own_managers;
    int turn = 0;
    bool multiplexed = false;
    Distance distance = Distance::Unknown;
    int slow_answers = 0;
};
