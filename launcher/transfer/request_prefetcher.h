#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

#include <map>
#include <memory>

class QNetworkReply;

// Requests for the next few small files, sent while the current one is still
// under way, so that the round trip of each request overlaps the work on the
// files before it. A transfer takes its reply over when its turn comes; what
// nobody took is dropped with clear(). The requests are those the transfer
// would send itself, through the same manager: the answers are judged by the
// transfer exactly as if it had asked.
class RequestPrefetcher : public QObject
{
    Q_OBJECT

public:
    explicit RequestPrefetcher(QObject *parent = nullptr);
    ~RequestPrefetcher() override;

    // Sends a GET of address now, unless one is already waiting for it.
    void prefetch(const QUrl &address, int timeout_ms);
    // The reply sent ahead for address (maybe finished already), or null.
    std::unique_ptr<QNetworkReply> take(const QUrl &address);
    bool holds(const QUrl &address) const;
    // Aborts and drops every reply nobody took.
    void clear();

private:
    std::map<QString, std::unique_ptr<QNetworkReply>> replies;
};
