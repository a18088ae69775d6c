#include "https_fixture.h"

#include "app/tls_setup.h"
#include "fixture_certificates.h"
#include "response_writer.h"
#include "stop_signal.h"

#include <httplib.h>
#include <openssl/pem.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QSslCertificate>
#include <QSslConfiguration>

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <thread>

namespace {

// Enough workers that many stalled answers cannot block the next request.
constexpr size_t WORKER_THREADS = 32;
constexpr int START_TIMEOUT_MS = 10000;

using Handler = std::function<FixtureResponse(const RecordedRequest &)>;

bool is_connection_metadata(const std::string &name)
{
    // The server library adds these to the received headers; no client sent them.
    return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
        name == "LOCAL_PORT";
}

RecordedRequest record(const httplib::Request &req)
{
    RecordedRequest r;
    r.method = QByteArray::fromStdString(req.method);
    const QByteArray target = QByteArray::fromStdString(req.target);
    const int question = target.indexOf('?');
    r.path = question < 0 ? target : target.left(question);
    r.query = question < 0 ? QByteArray() : target.mid(question + 1);
    r.body = QByteArray::fromStdString(req.body);
    for (const auto &h : req.headers) {
        if (!is_connection_metadata(h.first))
            r.headers.append(
                {QByteArray::fromStdString(h.first), QByteArray::fromStdString(h.second)});
    }
    return r;
}

// The file below dir for a decoded relative path, or "" when the path leaves
// dir or names something else than a regular file.
QString file_below(const QString &dir, const QByteArray &relative)
{
    const QList<QByteArray> segments = relative.split('/');
    for (const QByteArray &s : segments) {
        if (s.isEmpty() || s == "." || s == ".." || s.contains('\0') || s.contains('\\'))
            return QString();
    }
    const QFileInfo info(QDir(dir).filePath(QString::fromUtf8(relative)));
    return info.isFile() ? info.filePath() : QString();
}

FixtureResponse not_found()
{
    FixtureResponse r;
    r.status = 404;
    r.headers = {{"Content-Type", "text/plain"}};
    r.body = "not found\n";
    return r;
}

X509 *read_cert(const std::string &pem)
{
    BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    X509 *cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    return cert;
}

EVP_PKEY *read_key(const std::string &pem)
{
    BIO *bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    EVP_PKEY *key = bio ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    return key;
}

} // namespace

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return h.second;
    }
    return QByteArray();
}

class HttpsFixture::Impl
{
public:
    std::unique_ptr<httplib::SSLServer> server;
    std::thread thread;
    std::atomic<bool> listen_returned {false};
    quint16 port = 0;
    std::shared_ptr<StopSignal> stop = std::make_shared<StopSignal>();

    mutable std::mutex mutex; // guards the members below
    QHash<QByteArray, Handler> routes; // key: method + ' ' + path
    QList<QPair<QByteArray, QString>> directories;
    QList<RecordedRequest> requests;

    void handle(const httplib::Request &req, httplib::Response &res);
    Handler find_route(const RecordedRequest &r) const;
    FixtureResponse serve_file(const RecordedRequest &r) const;
};

Handler HttpsFixture::Impl::find_route(const RecordedRequest &r) const
{
    const QByteArray decoded = QByteArray::fromPercentEncoding(r.path);
    QList<QByteArray> methods {r.method};
    if (r.method == "HEAD")
        methods.append("GET");
    std::lock_guard<std::mutex> lock(mutex);
    for (const QByteArray &m : methods) {
        for (const QByteArray &p : {r.path, decoded}) {
            auto it = routes.constFind(m + ' ' + p);
            if (it != routes.constEnd())
                return it.value();
        }
    }
    return nullptr;
}

FixtureResponse HttpsFixture::Impl::serve_file(const RecordedRequest &r) const
{
    if (r.method != "GET" && r.method != "HEAD")
        return not_found();
    const QByteArray decoded = QByteArray::fromPercentEncoding(r.path);
    QString file;
    {
        std::lock_guard<std::mutex> lock(mutex);
        int best = -1;
        for (const auto &d : directories) {
            if (decoded.startsWith(d.first) && d.first.size() > best) {
                best = d.first.size();
                file = file_below(d.second, decoded.mid(d.first.size()));
            }
        }
    }
    QFile f(file);
    if (file.isEmpty() || !f.open(QIODevice::ReadOnly))
        return not_found();
    FixtureResponse answer;
    answer.body = f.readAll();
    return answer;
}

void HttpsFixture::Impl::handle(const httplib::Request &req, httplib::Response &res)
{
    const RecordedRequest r = record(req);
    {
        std::lock_guard<std::mutex> lock(mutex);
        requests.append(r);
    }
    const Handler handler = find_route(r);
    // The script alone decides the answer: without this the library would
    // cut every body to the Range a request asks for (or answer 416).
    const_cast<httplib::Request &>(req).ranges.clear();
    write_fixture_response(handler ? handler(r) : serve_file(r), stop, res);
}

HttpsFixture::HttpsFixture() : impl(new Impl) { }

HttpsFixture::~HttpsFixture()
{
    stop();
}

bool HttpsFixture::start(quint16 wanted_port)
{
    if (impl->server)
        return false;
    const FixtureCertificates &certs = fixture_certificates();
    if (!certs.valid)
        return false;
#ifdef SIGPIPE
    // A client that goes away mid-answer must not kill the test process.
    std::signal(SIGPIPE, SIG_IGN);
#endif

    X509 *cert = read_cert(certs.server.cert);
    EVP_PKEY *key = read_key(certs.server.key);
    if (cert && key)
        impl->server.reset(new httplib::SSLServer(cert, key));
    X509_free(cert);
    EVP_PKEY_free(key);
    if (!impl->server || !impl->server->is_valid()) {
        impl->server.reset();
        return false;
    }

    httplib::SSLServer &server = *impl->server;
    server.new_task_queue = [] { return new httplib::ThreadPool(WORKER_THREADS); };
    // One request per connection: no idle keep-alive socket can delay stop().
    server.set_keep_alive_max_count(1);
    server.set_keep_alive_timeout(2);
    Impl *d = impl.get();
    const auto handler = [d](const httplib::Request &req, httplib::Response &res) {
        d->handle(req, res);
    };
    const std::string any = "[\\s\\S]*";
    server.Get(any, handler);
    server.Post(any, handler);
    server.Put(any, handler);
    server.Patch(any, handler);
    server.Delete(any, handler);
    server.Options(any, handler);

    const int port = wanted_port == 0                   ? server.bind_to_any_port("127.0.0.1")
        : server.bind_to_port("127.0.0.1", wanted_port) ? wanted_port
                                                        : -1;
    if (port <= 0) {
        impl->server.reset();
        return false;
    }
    impl->port = static_cast<quint16>(port);
    impl->thread = std::thread([d] {
        d->server->listen_after_bind();
        d->listen_returned = true;
    });
    // stop() only takes effect on a running server, so wait until it runs.
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(START_TIMEOUT_MS);
    while (!server.is_running() && !d->listen_returned &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!server.is_running()) {
        stop();
        return false;
    }
    // Loading the system CAs is slow; the shared CA needs trusting only once,
    // unless something has replaced the default configuration since.
    const QList<QSslCertificate> ours = QSslCertificate::fromData(ca_pem());
    if (ours.isEmpty() ||
        !QSslConfiguration::defaultConfiguration().caCertificates().contains(ours.first()))
        trust_additional_ca(ca_pem());
    return true;
}

void HttpsFixture::stop()
{
    impl->stop->raise();
    if (!impl->server)
        return;
    // stop() does nothing to a server that is about to run but not running yet.
    while (impl->thread.joinable() && !impl->server->is_running() && !impl->listen_returned)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    impl->server->stop();
    if (impl->thread.joinable())
        impl->thread.join();
}

quint16 HttpsFixture::port() const
{
    return impl->port;
}

QString HttpsFixture::base_url() const
{
    return QStringLiteral("https://127.0.0.1:%1").arg(impl->port);
}

void HttpsFixture::route(const QByteArray &method, const QByteArray &path,
                         const FixtureResponse &response)
{
    route(method, path, [response](const RecordedRequest &) { return response; });
}

void HttpsFixture::route(const QByteArray &method, const QByteArray &path,
                         std::function<FixtureResponse(const RecordedRequest &)> handler)
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->routes.insert(method.toUpper() + ' ' + path, std::move(handler));
}

void HttpsFixture::serve_directory(const QByteArray &url_prefix, const QString &dir)
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->directories.append({url_prefix, dir});
}

QList<RecordedRequest> HttpsFixture::requests() const
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    return impl->requests;
}

void HttpsFixture::clear_requests()
{
    std::lock_guard<std::mutex> lock(impl->mutex);
    impl->requests.clear();
}

QByteArray HttpsFixture::ca_pem() const
{
    return QByteArray::fromStdString(fixture_certificates().ca.cert);
}
