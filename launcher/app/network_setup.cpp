#include "app/network_setup.h"

#include <QNetworkProxyFactory>

void use_system_proxy()
{
    // Some Qt builds start with the system configuration off; turning it on
    // again when it already is would needlessly rebuild the proxy factory.
    if (!QNetworkProxyFactory::usesSystemConfiguration())
        QNetworkProxyFactory::setUseSystemConfiguration(true);
}
