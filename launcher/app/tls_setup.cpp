#include "app/tls_setup.h"

#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>

extern const char ORVEX_DEV_CA_PEM[];

void trust_additional_ca(const QByteArray &pem)
{
    const QList<QSslCertificate> extra = QSslCertificate::fromData(pem, QSsl::Pem);
    if (extra.isEmpty())
        return;
    // Added to the default configuration's own list, which leaves the system
    // roots to be looked up when a connection needs one. Setting the list
    // (or adding through a QSslConfiguration) would instead take the system
    // roots out, unless all of them were read and parsed first: some 300
    // certificates, about 90 ms before the first request.
#ifdef Q_OS_WIN
    // Windows looks a connection's root up in the system store when the
    // list lacks it, and later connections then verify against that list
    // without the added certificates: the whole list is set once instead.
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setCaCertificates(QSslConfiguration::systemCaCertificates() + extra);
    QSslConfiguration::setDefaultConfiguration(configuration);
#else
    QT_WARNING_PUSH
    QT_WARNING_DISABLE_DEPRECATED
    QSslSocket::addDefaultCaCertificates(extra);
    QT_WARNING_POP
#endif
}

void install_development_ca()
{
    trust_additional_ca(QByteArray(ORVEX_DEV_CA_PEM));
}
