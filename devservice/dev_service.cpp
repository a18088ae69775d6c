#include "dev_service.h"

#include "app/constants.h"

#include <httplib.h>

#include <QFile>

#include <chrono>
#include <thread>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr size_t MAX_BODY_BYTES = 64 * 1024;
constexpr size_t WORKER_THREADS = 16;
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
    : config(config), login(accounts, LAUNCHER_VERSION)
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
    server->new_task_queue = [] { return new httplib::ThreadPool(WORKER_THREADS); };
    server->set_payload_max_length(MAX_BODY_BYTES);
    // Short keep-alive, so a stop is not held up for long by idle connections.
    server->set_keep_alive_timeout(2);
    server->set_logger(log_request);
    server->set_error_handler(
        httplib::Server::HandlerWithResponse([](const httplib::Request &, httplib::Response &res) {
            if (!res.body.empty())
                return httplib::Server::HandlerResponse::Unhandled;
            res.set_content("HTTP error " + std::to_string(res.status) + "\n",
                            "text/plain; charset=utf-8");
            return httplib::Server::HandlerResponse::Handled;
        }));
    const std::string any = "[\\s\\S]*";
    server->Get(any,
                [this](const httplib::Request &req, httplib::Response &res) { get(req, res); });
    server->Post(any,
                 [this](const httplib::Request &req, httplib::Response &res) { post(req, res); });

    if (config.port == 0) {
        bound_port = server->bind_to_any_port("127.0.0.1");
    } else if (server->bind_to_port("127.0.0.1", config.port)) {
        bound_port = config.port;
    }
    if (bound_port <= 0) {
        *error = QStringLiteral("cannot listen on 127.0.0.1:%1").arg(config.port);
        return false;
    }
    return true;
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
    const QByteArray path = raw_path(req);
    if (path == NEWS_PATH)
        serve_news(res);
    else if (files.covers(path))
        serve_file(path, res);
    else if (path == LOGIN_PATH)
        plain(res, 405, "the login wants POST");
    else
        plain(res, 404, "not found");
}

void DevService::post(const httplib::Request &req, httplib::Response &res) const
{
    if (raw_path(req) != LOGIN_PATH) {
        plain(res, 404, "not found");
        return;
    }
    const LoginAnswer a =
        login.answer(QByteArray::fromStdString(req.get_header_value("Content-Type")),
                     QByteArray::fromStdString(req.body));
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

void DevService::serve_file(const QByteArray &raw_path, httplib::Response &res) const
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
