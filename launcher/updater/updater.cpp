#include "updater/updater.h"

#include "install/extraction_backlog.h"
#include "install/file_download.h"
#include "transfer/request_prefetcher.h"

#include <QDir>

Updater::Updater(const QUrl &base_url)
    : base_url(base_url)
    , game_folder(QDir::currentPath())
    , backlog(new ExtractionBacklog(this))
    , prefetcher(new RequestPrefetcher(this))
{
}

Updater::~Updater()
{
    delete_downloader();
}

QString Updater::get_launcher_version() const
{
    return launcher_version;
}

QString Updater::get_server_version() const
{
    return server_version;
}

QString Updater::get_exec_name() const
{
    return exec_name;
}

// Cuts every connection from the downloader first, so nothing it still emits
// reaches this object, then deletes it.
void Updater::delete_downloader()
{
    if (!downloader)
        return;
    disconnect(downloader, nullptr, this, nullptr);
    disconnect(&downloader->transfer(), nullptr, this, nullptr);
    disk_budget.release(downloader);
    delete downloader;
    downloader = nullptr;
}
