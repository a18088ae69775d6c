#include "app/network_setup.h"

#include <QNetworkProxyFactory>

void use_system_proxy()
{
    // Once only: a later call would also drop an application proxy set since.
    static const bool applied = [] {
        QNetworkProxyFactory::setUseSystemConfiguration(true);
        return true;
    }();
    Q_UNUSED(applied)
}
