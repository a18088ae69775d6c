#pragma once

#include "app/constants.h"

#include <QByteArray>
#include <QNetworkRequest>
#include <QString>
#include <QUrl>

// What one GET of a body asks for: the whole address (the caller decides
// what is fetched from where), how hard it asks past caches, whether HTTP/2
// may carry it, its inactivity limit, and where a continued body resumes.
// The transfer and the requests sent ahead build their requests from it, so
// a reply sent ahead is the one the transfer would have asked for.
struct TransferRequest
{
    QUrl url;
    // How hard the request asks past caches between it and the server. A
    // cache that keeps an archive of an earlier release under the same name
    // serves a body that arrives whole and is still not the file:
    //   0: the plain request;
    //   1: the request says "no-cache" (Cache-Control and Pragma), so a cache
    //      that honours it asks the server anew;
    //   2: besides, the address carries "?h=" and cache_key: a static server
    //      ignores the query, but every cache keys on the whole address, so
    //      none holds an old answer for it.
    // A request past caches starts from byte 0, never from a partial body.
    int cache_bypass = 0;
    static constexpr int MAX_CACHE_BYPASS = 2;
    // The hash text of the wanted content ("" when not known; then no level
    // beyond the plain request is left).
    QString cache_key;
    // HTTP/2 where the server offers it (ALPN). Only for bodies known to be
    // small: the network layer's HTTP/2 keeps whatever arrives in memory,
    // without the read buffer limit that HTTP/1.1 has.
    bool http2_allowed = false;
    // Inactivity limit of the request.
    int timeout_ms = NETWORK_INACTIVITY_TIMEOUT_MS;
    // Where the body continues (0: from its first byte), and the validator
    // (ETag or Last-Modified) the earlier bytes came with, for If-Range.
    qint64 offset = 0;
    QByteArray validator;

    // The address asked for: url, with the query of level 2.
    QUrl address() const;
    // The level a fetch past caches would use after this one; 0 when none
    // is left.
    int next_cache_bypass() const;
    QNetworkRequest to_network_request() const;
};
