#pragma once

#include "account_book.h"
#include "cert_store.h"
#include "login_handler.h"
#include "service_config.h"
#include "static_files.h"

#include <QByteArray>
#include <QString>

#include <memory>

namespace httplib {
class SSLServer;
class ContentReader;
struct Request;
struct Response;
} // namespace httplib

// The HTTPS server: login at "/login/", news at "/launcher/", download trees
// at "/win32/" and "/dist/<name>/win64/". Listens on 127.0.0.1 only and logs
// one line per request to stderr.
class DevService
{
public:
    DevService(const ServiceConfig &config, const AccountBook &accounts);
    ~DevService();

    // Loads the certificates and binds the port. Returns false and sets error
    // on failure.
    bool bind(const CertPaths &certs, QString *error);
    int port() const { return bound_port; }
    // Serves until stop() is called (from any thread).
    void run();
    void stop();

private:
    void get(const httplib::Request &req, httplib::Response &res) const;
    void post_with_body(const httplib::Request &req, httplib::Response &res,
                        const httplib::ContentReader &reader) const;
    void post(const httplib::Request &req, httplib::Response &res, const QByteArray &body) const;
    void serve_news(httplib::Response &res) const;
    void serve_file(const httplib::Request &req, const QByteArray &raw_path,
                    httplib::Response &res) const;

    // Waits the configured delay before an answer.
    void answer_late() const;

    const ServiceConfig config;
    LoginHandler login;
    StaticFiles files;
    std::unique_ptr<httplib::SSLServer> server;
    int bound_port = 0;
};
