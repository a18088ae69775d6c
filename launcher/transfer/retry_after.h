#pragma once

#include <QByteArray>
#include <QDateTime>

// The pause a server asks for in a Retry-After header: a number of seconds,
// or an HTTP date (IMF-fixdate) counted from `now`. Capped at
// NETWORK_RETRY_AFTER_MAX_MS, never below 0; -1 when the header is missing or
// has neither form.
namespace retry_after {

int delay_ms(const QByteArray &header, const QDateTime &now);

} // namespace retry_after
