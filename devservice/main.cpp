// devservice: a local HTTPS stand-in for the account, news and download
// services, for development and tests. See --help.

#include "account_book.h"
#include "cert_store.h"
#include "dev_service.h"
#include "service_config.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <pthread.h>
#include <thread>
#include <unistd.h>

namespace {

int fail(const QString &message)
{
    std::fprintf(stderr, "devservice: %s\n", qPrintable(message));
    return 1;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("devservice"));

    ServiceConfig config;
    switch (parse_service_config(QCoreApplication::arguments(), &config)) {
    case ConfigOutcome::Exit:
        return 0;
    case ConfigOutcome::UsageError:
        return 2;
    case ConfigOutcome::Run:
        break;
    }

    QString error;
    CertPaths certs;
    if (!prepare_certificates(config.state_dir, &certs, &error))
        return fail(error);
    if (config.init_certs) {
        std::printf("%s\n", qPrintable(certs.ca_cert));
        return 0;
    }
    AccountBook accounts;
    if (!accounts.load(config.accounts_file, &error))
        return fail(error);
    if (!QFileInfo(config.news_file).isReadable())
        return fail(QStringLiteral("cannot read the news page %1").arg(config.news_file));

    // Signals are taken by one waiting thread rather than a handler, so the
    // stop runs in ordinary code. Block them before any other thread exists.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    DevService service(config, accounts);
    if (!service.bind(certs, &error))
        return fail(error);
    std::printf("devservice: listening on https://127.0.0.1:%d/ (CA %s, %d accounts)\n",
                service.port(), qPrintable(certs.ca_cert), accounts.size());
    std::fflush(stdout);

    std::atomic<bool> signalled {false};
    std::thread waiter([&] {
        int sig = 0;
        sigwait(&stop_signals, &sig);
        signalled = true;
        service.stop();
    });
    service.run();
    if (!signalled)
        kill(getpid(), SIGTERM); // wakes the waiter when the server ended by itself
    waiter.join();
    std::fprintf(stderr, "devservice: stopped\n");
    return 0;
}
