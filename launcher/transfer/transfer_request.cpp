#include "transfer/transfer_request.h"

#include "app/blocking_request.h"

#include <QUrlQuery>

QUrl TransferRequest::address() const
{
    QUrl result = url;
    if (cache_bypass >= 2 && !cache_key.isEmpty()) {
        QUrlQuery query(result);
        query.addQueryItem(QStringLiteral("h"), cache_key);
        result.setQuery(query);
    }
    return result;
}

int TransferRequest::next_cache_bypass() const
{
    return !cache_key.isEmpty() && cache_bypass < MAX_CACHE_BYPASS ? cache_bypass + 1 : 0;
}

QNetworkRequest TransferRequest::to_network_request() const
{
    QNetworkRequest request = BlockingRequest::launcher_request(address(), timeout_ms);
    if (http2_allowed)
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
    // For this setting the network layer itself sends "Cache-Control:
    // no-cache" and "Pragma: no-cache" (raw headers of those names it drops).
    if (cache_bypass > 0)
        request.setAttribute(QNetworkRequest::CacheLoadControlAttribute,
                             QNetworkRequest::AlwaysNetwork);
    if (offset > 0) {
        request.setRawHeader("Range", "bytes=" + QByteArray::number(offset) + '-');
        if (!validator.isEmpty())
            request.setRawHeader("If-Range", validator);
    }
    return request;
}
