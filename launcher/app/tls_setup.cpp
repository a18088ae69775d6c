#include "app/tls_setup.h"

#include <QSslCertificate>
#include <QSslConfiguration>

extern const char ORVEX_DEV_CA_PEM[];

void trust_additional_ca(const QByteArray &pem)
{
    const QList<QSslCertificate> extra = QSslCertificate::fromData(pem, QSsl::Pem);
    if (extra.isEmpty())
        return;
    // setCaCertificates with the system roots included: adding certificates to
    // a configuration alone would replace the system roots instead of joining them.
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setCaCertificates(QSslConfiguration::systemCaCertificates() + extra);
    QSslConfiguration::setDefaultConfiguration(config);
}

void install_development_ca()
{
    trust_additional_ca(QByteArray(ORVEX_DEV_CA_PEM));
}
