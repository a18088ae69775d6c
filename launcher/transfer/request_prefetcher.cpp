#include "transfer/request_prefetcher.h"

#include "app/blocking_request.h"

#include <QNetworkReply>

namespace {

// What a reply sent ahead may hold before it is taken: enough for the small
// files it is used for; a larger body waits on the network until taken.
constexpr qint64 READ_BUFFER_SIZE = 1 << 20;

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
    slot.reset(request.start_get());
    slot->setReadBufferSize(READ_BUFFER_SIZE);
}

bool RequestPrefetcher::holds(const QUrl &address) const
{
    return replies.count(address.toString()) != 0;
}

std::unique_ptr<QNetworkReply> RequestPrefetcher::take(const QUrl &address)
{
    const auto it = replies.find(address.toString());
    if (it == replies.end())
        return nullptr;
    std::unique_ptr<QNetworkReply> reply = std::move(it->second);
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
}
