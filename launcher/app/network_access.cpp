#include "app/network_access.h"

#include "app/network_setup.h"
#include "app/no_cookie_jar.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QThread>
#include <QThreadStorage>

namespace network_access {

namespace {

// Deletes the thread's manager when the thread ends, unless the application
// object (its parent on the main thread) has done so already.
struct ManagerHolder
{
    QPointer<QNetworkAccessManager> manager;
    ~ManagerHolder() { delete manager.data(); }
};

QThreadStorage<ManagerHolder *> managers;

} // namespace

QNetworkAccessManager &thread_manager()
{
    use_system_proxy();
    if (!managers.hasLocalData())
        managers.setLocalData(new ManagerHolder);
    ManagerHolder *holder = managers.localData();
    if (!holder->manager) {
        QCoreApplication *app = QCoreApplication::instance();
        const bool main_thread = app && app->thread() == QThread::currentThread();
        holder->manager = new QNetworkAccessManager(main_thread ? app : nullptr);
        refuse_cookies(*holder->manager);
    }
    return *holder->manager;
}

void close_idle_connections_off_main_thread()
{
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || app->thread() == QThread::currentThread() || !managers.hasLocalData())
        return;
    if (QNetworkAccessManager *manager = managers.localData()->manager)
        manager->clearConnectionCache();
}

void refuse_cookies(QNetworkAccessManager &manager)
{
    // The manager takes the jar as its child.
    manager.setCookieJar(new NoCookieJar);
}

} // namespace network_access
