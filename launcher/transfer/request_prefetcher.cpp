#include "transfer/request_prefetcher.h"

#include "app/blocking_request.h"
#include "app/network_access.h"
#include "transfer/retry_after.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {

// What a reply sent ahead may hold before it is taken: enough for the small
// files it is used for; a larger body waits on the network until taken.
constexpr qint64 READ_BUFFER_SIZE = 1 << 20;

// The connections per manager that the network layer keeps, and the
// requests the object's own manager may have under way (so connections
// open), for HTTP/1.1 from a distant server: eight to the server in all.
constexpr int CONNECTIONS_PER_MANAGER = 6;
constexpr int OWN_MANAGER_REQUESTS = 2;
// The most requests under way at once that clean answers can earn.
constexpr int MAX_ALLOWED = 64;
// Where each reply sent ahead keeps its serial, and the mark that a
// transfer took it before it finished (the transfer then judges its pace).
const char *const SERIAL_PROPERTY = "orvex_pace_serial";
const char *const TAKEN_PROPERTY = "orvex_pace_taken";
const char *const SENT_PROPERTY = "orvex_pace_sent_ms";

bool slow_down_status(int status)
{
    return status == 429 || status == 503;
}
// Answers later than this come from a distant server (a round trip each),
// or from a slow one.
constexpr qint64 DISTANT_MS = 30;

} // namespace

RequestPrefetcher::RequestPrefetcher(QObject *parent)
    : QObject(parent), allowed(MAX_ALLOWED), refused_at(MAX_ALLOWED + 1)
{
    clock.start();
    lost_check.setInterval(LOST_AFTER_MS / 4);
    connect(&lost_check, &QTimer::timeout, this, &RequestPrefetcher::drop_lost);
}

RequestPrefetcher::~RequestPrefetcher()
{
    clear();
}

void RequestPrefetcher::prefetch(const TransferRequest &request)
{
    const QString key = key_of(request);
    std::unique_ptr<QNetworkReply> &slot = replies[key];
    if (slot)
        return;
    BlockingRequest sending(request.to_network_request());
    bool own = false;
    sending.use_manager(next_manager(own));
    QNetworkReply *reply = sending.start_get();
    slot.reset(reply);
    reply->setProperty(SERIAL_PROPERTY, next_serial());
    reply->setProperty(SENT_PROPERTY, clock.elapsed());
    if (!lost_check.isActive())
        lost_check.start();
    ++in_flight;
    own_in_flight += own ? 1 : 0;
    connect(reply, &QNetworkReply::finished, this, [this, own] {
        --in_flight;
        own_in_flight -= own ? 1 : 0;
    });
    time_answer(reply);
    reply->setReadBufferSize(READ_BUFFER_SIZE);
    // Over HTTP/2 the network layer keeps whatever arrives, past the read
    // buffer limit: a body much larger than announced is dropped, and the
    // transfer asks for it itself when its turn comes (and writes it out as
    // it arrives).
    connect(reply, &QNetworkReply::finished, this, [this, key, reply] { judge_answer(key, reply); });
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, key, reply](qint64 received, qint64) {
                if (received > READ_BUFFER_SIZE)
                    drop(key, reply);
            });
}

bool RequestPrefetcher::holds(const QString &key) const
{
    return replies.count(key) != 0 || dropped.contains(key);
}

QString RequestPrefetcher::key_of(const TransferRequest &request)
{
    return request.address().toString();
}

// Deferred: the reply is deleted outside its own signal.
void RequestPrefetcher::drop(const QString &key, const QNetworkReply *reply_sent, bool keep_out)
{
    const auto it = replies.find(key);
    if (it == replies.end() || it->second.get() != reply_sent)
        return; // taken meanwhile: its transfer writes it out
    QNetworkReply *reply = it->second.release();
    replies.erase(it);
    if (keep_out)
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

// An answer that finished before any transfer took it: a refused stream or
// a slow-down is no answer to keep (the transfer would only count it as a
// failed attempt); the file is asked for again when there is room.
void RequestPrefetcher::judge_answer(const QString &key, QNetworkReply *reply)
{
    last_answer_ms = clock.elapsed();
    if (reply->property(TAKEN_PROPERTY).toBool())
        return;
    const auto it = replies.find(key);
    if (it == replies.end() || it->second.get() != reply)
        return;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QNetworkReply::NetworkError error = reply->error();
    const bool reset = status == 0 && error == QNetworkReply::RemoteHostClosedError;
    if (slow_down_status(status) || reset) {
        slowed_down(serial_of(*reply),
                    retry_after::delay_ms(reply->rawHeader("Retry-After"),
                                          QDateTime::currentDateTimeUtc()));
        drop(key, reply, false);
    } else if (status == 0 &&
               (error == QNetworkReply::ContentReSendError ||
                error == QNetworkReply::ProtocolUnknownError)) {
        drop(key, reply, false);
        stream_refused();
    } else if (status == 200 && error == QNetworkReply::NoError) {
        answered(serial_of(*reply));
    }
}

quint64 RequestPrefetcher::serial_of(const QNetworkReply &reply)
{
    return reply.property(SERIAL_PROPERTY).toULongLong();
}

void RequestPrefetcher::slowed_down(quint64 serial, int retry_after_ms)
{
    if (retry_after_ms > 0)
        resume_at_ms = qMax(resume_at_ms, clock.elapsed() + retry_after_ms);
    // Answers to requests sent before the last halving tell of the pace
    // before it: they halve no more.
    if (serial != 0 && serial <= halved_serial)
        return;
    // The current transfer's own request is one more under way.
    refused_at = qMin(allowed, in_flight + 1);
    allowed = qMax(1, refused_at / 2);
    halved_serial = sent_serial;
    answers_past = 0;
}

// One more per clean answer back to just below where the server refused;
// past that, one more per round of answers, so the limit is probed slowly.
void RequestPrefetcher::answered(quint64 serial)
{
    newest_answered = qMax(newest_answered, serial);
    last_answer_ms = clock.elapsed();
    // Answers to requests sent before the last halving were held back by the
    // server at the pace it refused: they earn nothing, or a Retry-After
    // pause would end with as many under way as before it.
    if (serial != 0 && serial <= halved_serial)
        return;
    if (allowed < refused_at - 1) {
        ++allowed;
    } else if (++answers_past >= allowed) {
        answers_past = 0;
        ++allowed;
    }
    allowed = qMin(allowed, MAX_ALLOWED);
}

void RequestPrefetcher::stream_refused()
{
    if (sent_serial <= refused_serial)
        return; // every request sent so far was dealt with already
    refused_serial = sent_serial;
    QVector<QPair<QString, const QNetworkReply *>> unanswered;
    for (const auto &entry : replies) {
        const QNetworkReply *reply = entry.second.get();
        if (reply->isRunning() &&
            !reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid())
            unanswered.append({entry.first, reply});
    }
    for (const auto &entry : unanswered)
        drop(entry.first, entry.second, false);
    emit streams_refused(refused_serial);
}

void RequestPrefetcher::drop_lost()
{
    if (replies.empty()) {
        lost_check.stop();
        return;
    }
    // Or every request waits while none has been answered for as long: the
    // connection they share is gone, and room for new ones is taken by them.
    QVector<QPair<QString, const QNetworkReply *>> lost;
    for (const auto &entry : replies) {
        const QNetworkReply *reply = entry.second.get();
        if (reply->isRunning() &&
            !reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid() &&
            clock.elapsed() - reply->property(SENT_PROPERTY).toLongLong() >= LOST_AFTER_MS &&
            (overtaken(serial_of(*reply)) || silent()))
            lost.append({entry.first, reply});
    }
    for (const auto &entry : lost)
        drop(entry.first, entry.second, false);
}

int RequestPrefetcher::wait_ms() const
{
    return int(qMax<qint64>(resume_at_ms - clock.elapsed(), 0));
}

// `wanted` bounds the replies held, finished or not; the pace bounds those
// still under way, beside the current transfer's own.
bool RequestPrefetcher::has_room(int wanted) const
{
    if (wait_ms() > 0)
        return false;
    int limit = wanted;
    if (distance == Distance::Unknown)
        limit = qMin(limit, CONNECTIONS_PER_MANAGER);
    return int(replies.size()) < limit && in_flight < allowed - 1;
}

QNetworkAccessManager &RequestPrefetcher::next_manager(bool &own)
{
    own = false;
    QNetworkAccessManager &shared = network_access::thread_manager();
    if (multiplexed || distance != Distance::Far || own_in_flight >= OWN_MANAGER_REQUESTS)
        return shared;
    if (!own_manager) {
        own_manager = new QNetworkAccessManager(this);
        network_access::refuse_cookies(*own_manager);
    }
    own = true;
    return *own_manager;
}

std::unique_ptr<QNetworkReply> RequestPrefetcher::take(const QUrl &address)
{
    const auto it = replies.find(address.toString());
    if (it == replies.end())
        return nullptr;
    std::unique_ptr<QNetworkReply> reply = std::move(it->second);
    if (reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool())
        multiplexed = true;
    if (!reply->isFinished())
        reply->setProperty(TAKEN_PROPERTY, true);
    replies.erase(it);
    return reply;
}

void RequestPrefetcher::clear()
{
    // Out of `replies` first: an abort emits finished, judged in judge_answer.
    auto held = std::move(replies);
    replies.clear();
    for (auto &entry : held) {
        if (entry.second->isRunning())
            entry.second->abort();
    }
    dropped.clear();
    lost_check.stop();
    allowed = MAX_ALLOWED;
    refused_at = MAX_ALLOWED + 1;
    answers_past = 0;
    halved_serial = sent_serial;
    resume_at_ms = 0;
}
