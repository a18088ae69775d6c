#pragma once

class QNetworkAccessManager;

// One network manager per thread, kept for the thread's life, so that the
// requests a thread makes one after the other share connections (HTTP
// keep-alive) and TLS sessions instead of paying a new handshake each. The
// managers keep no cookies: nothing of one exchange reaches the next.
namespace network_access {

// The calling thread's manager, made on first use. On the application's
// main thread it is deleted with the application object; on any other
// thread when the thread ends.
QNetworkAccessManager &thread_manager();

// Closes the connections the calling thread's manager keeps open, unless it
// is the main thread's. A background read (the news, a manifest) then holds
// no connection to a server while the main thread's transfers use their own,
// so a server sees no more connections than those.
void close_idle_connections_off_main_thread();

// Gives manager a cookie jar that keeps nothing (see NoCookieJar); for every
// manager the launcher uses, its own ones and those of widgets.
void refuse_cookies(QNetworkAccessManager &manager);

} // namespace network_access
