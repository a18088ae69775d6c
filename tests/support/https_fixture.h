#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

#include <functional>
#include <memory>

// One request as the fixture received it.
struct RecordedRequest
{
    QByteArray method;
    QByteArray path; // as sent on the request line, without the query, not decoded
    QByteArray query; // the raw text after "?", "" when there is none
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers; // as received, ordered by name

    // Value of the first header with this name (case-insensitive), "" if none.
    QByteArray header(const QByteArray &name) const;
};

// What the fixture answers to one request.
struct FixtureResponse
{
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers; // e.g. {"Content-Type","application/json"}
    QByteArray body;
    bool chunked = false; // body sent chunked, without Content-Length
    int delay_before_headers_ms = 0;
    int stall_after_bytes = -1; // send this many body bytes, then stall for stall_ms;
    int stall_ms = 0; // 0 stalls until the fixture stops
    int close_after_bytes = -1; // send this many body bytes, then close the connection
    int trickle_chunk = 0; // >0: send the body in chunks of this size ...
    int trickle_interval_ms = 0; //     ... with this pause between them
};

// An HTTPS server on 127.0.0.1 with an ephemeral port, running on its own
// threads, answering scripted routes and recording every request. Every
// fixture of the process uses one CA, trusted in the default TLS
// configuration once start() has run. Delays and stalls end early when the
// fixture stops, so the destructor never waits for them.
class HttpsFixture
{
public:
    HttpsFixture();
    ~HttpsFixture(); // stops the server

    HttpsFixture(const HttpsFixture &) = delete;
    HttpsFixture &operator=(const HttpsFixture &) = delete;

    // Listens on the given port of 127.0.0.1, or on an ephemeral one for 0.
    bool start(quint16 port = 0);
    // Stops the server; afterwards its port refuses connections. Idempotent.
    void stop();
    quint16 port() const;
    QString base_url() const; // "https://127.0.0.1:<port>"

    // A route answers requests whose method matches and whose path matches
    // either as sent or percent-decoded. A later route for the same method and
    // path replaces the earlier one. Handlers run on server threads.
    void route(const QByteArray &method, const QByteArray &path, const FixtureResponse &response);
    void route(const QByteArray &method, const QByteArray &path,
               std::function<FixtureResponse(const RecordedRequest &)> handler);
    // GET below url_prefix serves files of dir; 404 for a missing file, a
    // folder or a path with a ".." segment.
    void serve_directory(const QByteArray &url_prefix, const QString &dir);

    QList<RecordedRequest> requests() const; // in arrival order (thread-safe copy)
    void clear_requests();
    QByteArray ca_pem() const;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};
