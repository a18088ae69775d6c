#include "transfer/request_prefetcher.h"

#include "app/blocking_request.h"
#include "app/network_access.h"
#include "transfer/downloader.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {

// What a reply sent ahead may hold before it is taken: enough for the small
// files it is used for; a larger body waits on the network until taken.
constexpr qint64 READ_BUFFER_SIZE = 1 << 20;

// Managers of its own besides the thread's, for HTTP/1.1 from a distant
// server, and the connections per manager that the network layer keeps.
constexpr int OWN_MANAGERS = 7;
constexpr int CONNECTIONS_PER_MANAGER = 6;
// Answers later than this come from a distant server (a round trip each),
// or from a slow one.
constexpr qint64 DISTANT_MS = 30;

} // namespace

RequestPrefetcher::RequestPrefetcher(QObject *parent) : QObject(parent) { }

RequestPrefetcher::~RequestPrefetcher()
{
    clear();
}

void RequestPrefetcher::prefetch(const QUrl &address, int timeout_ms)
{
    std::unique_ptr<QNetworkReply> &slot = replies[address.toString()];
    if (slot)
        return;
    BlockingRequest request(address, timeout_ms);
    request.use_manager(next_manager());
    // Only small files are requested ahead: HTTP/2 where the server offers it.
    request.request().setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
    QNetworkReply *reply = request.start_get();
    slot.reset(reply);
    time_answer(reply);
    reply->setReadBufferSize(READ_BUFFER_SIZE);
    // Over HTTP/2 the network layer keeps whatever arrives, past the read
    // buffer limit: a body much larger than announced is dropped, and the
    // transfer asks for it itself when its turn comes (and writes it out as
    // it arrives).
    const QString key = address.toString();
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, key, reply](qint64 received, qint64) {
                if (received > READ_BUFFER_SIZE)
                    drop(key, reply);
            });
}

void RequestPrefetcher::prefetch_file(const QString &name, const QString &url, int timeout_ms)
{
    if (holds_file(name))
        return;
    const QUrl address = Downloader::address_of(url);
    addresses.insert(name, address.toString());
    prefetch(address, timeout_ms);
}

bool RequestPrefetcher::holds_file(const QString &name) const
{
    const auto it = addresses.constFind(name);
    return it != addresses.constEnd() && (replies.count(*it) != 0 || dropped.contains(*it));
}

// Deferred: the reply is deleted outside its own signal.
void RequestPrefetcher::drop(const QString &key, const QNetworkReply *reply_sent)
{
    const auto it = replies.find(key);
    if (it == replies.end() || it->second.get() != reply_sent)
        return; // taken meanwhile: its transfer writes it out
    QNetworkReply *reply = it->second.release();
    replies.erase(it);
    dropped.insert(key);
    reply->abort();
    reply->deleteLater();
}

// Until the distance is known, each answer is timed from its request. The
// first answers include setting up their connections; one sent once a
// connection was free again (after the first round) shows the round trip.
void RequestPrefetcher::time_answer(QNetworkReply *reply)
{
    if (distance != Distance::Unknown)
        return;
    QElapsedTimer sent;
    sent.start();
    connect(reply, &QNetworkReply::finished, this, [this, reply, sent] {
        if (distance != Distance::Unknown || reply->error() != QNetworkReply::NoError)
            return;
        if (reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool()) {
            multiplexed = true;
            distance = Distance::Near;
        } else if (sent.elapsed() <= DISTANT_MS) {
            distance = Distance::Near;
        } else if (++slow_answers > CONNECTIONS_PER_MANAGER) {
            distance = Distance::Far;
        }
    });
}

bool RequestPrefetcher::has_room(int wanted) const
{
    const int limit =
        distance == Distance::Unknown ? qMin(wanted, CONNECTIONS_PER_MANAGER) : wanted;
    return int(replies.size()) < limit;
}

QNetworkAccessManager &RequestPrefetcher::next_manager()
{
    QNetworkAccessManager &shared = network_access::thread_manager();
    if (multiplexed || distance != Distance::Far)
        return shared;
    turn = (turn + 1) % (OWN_MANAGERS + 1);
    if (turn == 0)
        return shared;
    while (own_managers.size() < turn) {
        auto *made = new QNetworkAccessManager(this);
        network_access::refuse_cookies(*made);
        own_managers.append(made);
    }
    return *own_managers[turn - 1];
}

std::unique_ptr<QNetworkReply> RequestPrefetcher::take(const QUrl &address)
{
    const auto it = replies.find(address.toString());
    if (it == replies.end())
        return nullptr;
    std::unique_ptr<QNetworkReply> reply = std::move(it->second);
    if (reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool())
        multiplexed = true;
    replies.erase(it);
    return reply;
}

void RequestPrefetcher::clear()
{
    for (auto &entry : replies) {
        if (entry.second->isRunning())
            entry.second->abort();
    }
    replies.clear();
    addresses.clear();
    dropped.clear();
}
