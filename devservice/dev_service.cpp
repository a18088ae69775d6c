#include "dev_service.h"

#include "app/version.h"
#include "connection_workers.h"
#include "range_judge.h"

#include <httplib.h>

#include <QDateTime>
#include <QFile>
#include <QLocale>

#include <chrono>
#include <thread>

#include <cstdio>
#include <cstdlib>
#include <sys/socket.h>
#include <sys/stat.h>

namespace {

constexpr size_t MAX_BODY_BYTES = 64 * 1024;
// One worker per open connection, up to this many; beyond, connections wait
// in the queue.
constexpr size_t MAX_WORKER_THREADS = 1024;
// Connections the kernel keeps waiting for accept() (the library's own is 5).
constexpr int LISTEN_BACKLOG = 1024;
// Time for a TLS handshake plus a whole request head, and the longest
// silence while reading one.
constexpr auto REQUEST_DEADLINE = std::chrono::seconds(5);
constexpr time_t READ_TIMEOUT_SECONDS = 3;
constexpr time_t KEEP_ALIVE_SECONDS = 2;
// Requests one connection may carry, as production web servers allow: a
// client that keeps its connection pays one TLS handshake for a whole update.
constexpr size_t KEEP_ALIVE_REQUESTS = 1000;
constexpr qint64 READ_CHUNK = 64 * 1024;
const char *const NEWS_PATH = "/launcher/";
const char *const LOGIN_PATH = "/login/";

QByteArray raw_path(const httplib::Request &req)
{
    const QByteArray target = QByteArray::fromStdString(req.target);
    const int question = target.indexOf('?');
    return question < 0 ? target : target.left(question);
}

void plain(httplib::Response &res, int status, const char *text)
{
    res.status = status;
    res.set_content(std::string(text) + "\n", "text/plain; charset=utf-8");
}

void too_large(httplib::Response &res)
{
    plain(res, 413, "the request body is too large");
    res.set_header("Connection", "close");
}

// Strong entity tag and Last-Modified date of an open file, from its size
// and modification time in nanoseconds.
bool validators(const QFile &file, QByteArray *etag, QByteArray *last_modified)
{
    struct stat st;
    if (::fstat(file.handle(), &st) != 0)
        return false;
    const qint64 nanoseconds = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    *etag = '"' + QByteArray::number(qint64(st.st_size), 16) + '-' +
        QByteArray::number(nanoseconds, 16) + '"';
    const QDateTime modified = QDateTime::fromSecsSinceEpoch(st.st_mtim.tv_sec, Qt::UTC);
    *last_modified = QLocale::c()
                         .toString(modified, QStringLiteral("ddd, dd MMM yyyy hh:mm:ss 'GMT'"))
                         .toLatin1();
    return true;
}

const char *media_type(const QString &file)
{
    if (file.endsWith(QLatin1String(".json")))
        return "application/json";
    if (file.endsWith(QLatin1String(".html")))
        return "text/html; charset=utf-8";
    return "application/octet-stream";
}

// One log line; bytes outside printable ASCII are escaped, so a request
// cannot forge lines of its own.
void log_request(const httplib::Request &req, const httplib::Response &res)
{
    // The logger runs once the answer has gone out: from now on the
    // connection waits for its next request, under a deadline again.
    ConnectionWorkers::answer_sent(std::chrono::seconds(KEEP_ALIVE_SECONDS));
    const QByteArray path = QByteArray::fromStdString(req.target.empty() ? req.path : req.target)
                                .toPercentEncoding("/?&=%:;,+@!$'()*~[]");
    const std::string length = res.get_header_value("Content-Length");
    const size_t bytes =
        length.empty() ? res.body.size() : std::strtoull(length.c_str(), nullptr, 10);
    std::fprintf(stderr, "%s %s %d %zu\n",
                 QByteArray::fromStdString(req.method).toPercentEncoding().constData(),
                 path.constData(), res.status, bytes);
}

} // namespace

DevService::DevService(const ServiceConfig &config, const AccountBook &accounts)
    : config(config), login(accounts, QStringLiteral(ORVEX_LAUNCHER_VERSION))
{
    if (!config.serve_dir.isEmpty())
        files.add_mount("/win32/", config.serve_dir);
    for (auto it = config.dists.cbegin(); it != config.dists.cend(); ++it)
        files.add_mount("/dist/" + it.key().toUtf8() + "/win64/", it.value());
}

DevService::~DevService() = default;

bool DevService::bind(const CertPaths &certs, QString *error)
{
    server.reset(new httplib::SSLServer(QFile::encodeName(certs.server_cert).constData(),
                                        QFile::encodeName(certs.server_key).constData()));
    if (!server->is_valid()) {
        *error = QStringLiteral("cannot load %1 and %2").arg(certs.server_cert, certs.server_key);
        return false;
    }
    server->new_task_queue = [] {
        return new ConnectionWorkers(MAX_WORKER_THREADS, REQUEST_DEADLINE);
    };
    // The TLS handshake starts on the worker that serves the connection: the
    // moment that worker learns its socket.
    SSL_CTX_set_info_callback(server->ssl_context(), [](const SSL *ssl, int where, int) {
        if (where & SSL_CB_HANDSHAKE_START)
            ConnectionWorkers::note_socket(SSL_get_fd(ssl));
    });
    // Answers go out as soon as they are written: without this, a small
    // answer written in pieces waits for the client's delayed ACK (tens of
    // milliseconds per request).
    server->set_tcp_nodelay(true);
    server->set_payload_max_length(MAX_BODY_BYTES);
    server->set_read_timeout(READ_TIMEOUT_SECONDS);
    // Short keep-alive, so a stop is not held up for long by idle connections.
    server->set_keep_alive_timeout(KEEP_ALIVE_SECONDS);
    server->set_keep_alive_max_count(KEEP_ALIVE_REQUESTS);
    // The listening socket, to widen its backlog once it listens.
    int listener = -1;
    server->set_socket_options([&listener](int sock) {
        httplib::default_socket_options(sock);
        listener = sock;
    });
    server->set_logger(log_request);
    server->set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request &, httplib::Response &res) {
            // A 416 keeps its empty body: the library would cut a text to
            // the unsatisfiable range.
            if (!res.body.empty() || res.status == 416)
                return httplib::Server::HandlerResponse::Unhandled;
            res.set_content("HTTP error " + std::to_string(res.status) + "\n",
                            "text/plain; charset=utf-8");
            return httplib::Server::HandlerResponse::Handled;
        }));
    const std::string any = "[\\s\\S]*";
    server->Get(any,
                [this](const httplib::Request &req, httplib::Response &res) { get(req, res); });
    server->Post(any, [this](const httplib::Request &req, httplib::Response &res) {
        post(req, res, QByteArray());
    });
    server->Post(
        any,
        [this](const httplib::Request &req, httplib::Response &res,
               const httplib::ContentReader &reader) { post_with_body(req, res, reader); });

    if (config.port == 0) {
        bound_port = server->bind_to_any_port("127.0.0.1");
    } else if (server->bind_to_port("127.0.0.1", config.port)) {
        bound_port = config.port;
    }
    if (bound_port <= 0) {
        *error = QStringLiteral("cannot listen on 127.0.0.1:%1").arg(config.port);
        return false;
    }
    // Listening again on a listening socket only changes its backlog.
    if (listener >= 0 && ::listen(listener, LISTEN_BACKLOG) != 0)
        std::fprintf(stderr, "devservice: cannot widen the listen backlog\n");
    server->set_socket_options(httplib::default_socket_options);
    return true;
}

void DevService::answer_late() const
{
    if (config.delay_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(config.delay_ms));
}

void DevService::run()
{
    server->listen_after_bind();
}

void DevService::stop()
{
    server->stop();
}

void DevService::get(const httplib::Request &req, httplib::Response &res) const
{
    ConnectionWorkers::request_read();
    answer_late();
    const QByteArray path = raw_path(req);
    if (path == NEWS_PATH)
        serve_news(res);
    else if (files.covers(path))
        serve_file(req, path, res);
    else if (path == LOGIN_PATH)
        plain(res, 405, "the login wants POST");
    else
        plain(res, 404, "not found");
}

// The body is read here, in pieces, so its limit holds whatever its
// encoding: the library checks only a declared Content-Length against it.
void DevService::post_with_body(const httplib::Request &req, httplib::Response &res,
                                const httplib::ContentReader &reader) const
{
    if (std::strtoull(req.get_header_value("Content-Length").c_str(), nullptr, 10) >
        MAX_BODY_BYTES) {
        too_large(res); // without reading it
        return;
    }
    QByteArray body;
    bool fits = true;
    const bool read = reader([&](const char *data, size_t length) {
        fits = size_t(body.size()) + length <= MAX_BODY_BYTES;
        if (fits)
            body.append(data, int(length));
        return fits;
    });
    if (!fits || res.status == 413) {
        too_large(res);
        return;
    }
    if (!read) {
        plain(res, 400, "the request body cannot be read");
        res.set_header("Connection", "close");
        return;
    }
    post(req, res, body);
}

void DevService::post(const httplib::Request &req, httplib::Response &res,
                      const QByteArray &body) const
{
    ConnectionWorkers::request_read();
    answer_late();
    if (raw_path(req) != LOGIN_PATH) {
        plain(res, 404, "not found");
        return;
    }
    const LoginAnswer a =
        login.answer(QByteArray::fromStdString(req.get_header_value("Content-Type")), body);
    res.status = a.http_status;
    res.set_content(a.body.toStdString(), a.content_type.toStdString());
}

void DevService::serve_news(httplib::Response &res) const
{
    QFile file(config.news_file);
    if (!file.open(QIODevice::ReadOnly)) {
        std::fprintf(stderr, "devservice: cannot read %s\n", qPrintable(config.news_file));
        plain(res, 500, "the news page cannot be read");
        return;
    }
    res.set_content(file.readAll().toStdString(), "text/html; charset=utf-8");
}

void DevService::serve_file(const httplib::Request &req, const QByteArray &raw_path,
                            httplib::Response &res) const
{
    QString name;
    switch (files.lookup(raw_path, &name)) {
    case StaticFiles::Lookup::BadPath:
        plain(res, 400, "bad path");
        return;
    case StaticFiles::Lookup::NotFound:
        plain(res, 404, "not found");
        return;
    case StaticFiles::Lookup::Found:
        break;
    }
    auto file = std::make_shared<QFile>(name);
    if (!file->open(QIODevice::ReadOnly)) {
        plain(res, 404, "not found");
        return;
    }
    QByteArray etag, last_modified;
    if (!validators(*file, &etag, &last_modified)) {
        plain(res, 404, "not found");
        return;
    }
    res.set_header("ETag", etag.toStdString());
    res.set_header("Last-Modified", last_modified.toStdString());
    res.set_header("Accept-Ranges", "bytes");
    const RangeAnswer ranges = judge_range(req, file->size(), etag, last_modified);
    // The library cuts the answer to the request's ranges after this handler
    // returns; when they are not to be honoured they are dropped here. The
    // request object is the library's own, not a constant.
    if (ranges != RangeAnswer::Partial)
        const_cast<httplib::Request &>(req).ranges.clear();
    if (ranges == RangeAnswer::Unsatisfiable) {
        res.status = 416;
        res.set_header("Content-Range", "bytes */" + std::to_string(file->size()));
        return;
    }
    if (file->size() == 0) {
        res.set_content(std::string(), media_type(name));
        return;
    }
    // Streamed in pieces; the server library answers Range requests from it.
    const qint64 rate = static_cast<qint64>(config.rate_kib) * 1024;
    res.set_content_provider(
        static_cast<size_t>(file->size()), media_type(name),
        [file, rate](size_t offset, size_t length, httplib::DataSink &sink) {
            if (!file->seek(static_cast<qint64>(offset)))
                return false;
            const QByteArray piece = file->read(qMin(static_cast<qint64>(length), READ_CHUNK));
            if (rate > 0) // pace the transfer: one piece, then its share of a second
                std::this_thread::sleep_for(std::chrono::milliseconds(piece.size() * 1000 / rate));
            return !piece.isEmpty() &&
                sink.write(piece.constData(), static_cast<size_t>(piece.size()));
        });
}
