#include "updater/updater.h"

#include "update_layout.h"

#include "app/blocking_request.h"
#include "files/open_folder.h"
#include "safe_path.h"

#include <QDir>
#include <QJsonDocument>
#include <QNetworkReply>

#include <memory>

namespace {

const QString KEY_SERVER_VERSION = update_layout::key_server_version();
const QString KEY_LAUNCHER_VERSION = update_layout::key_launcher_version();
const QString KEY_EXEC = update_layout::key_exec();
const QString KEY_FILES = update_layout::key_files();

QUrl manifest_url(const QUrl &base, const QString &manifest_name)
{
    // Plain concatenation: the base ends in "/".
    return QUrl(base.toString() + manifest_name, QUrl::TolerantMode);
}

} // namespace

// One blocking GET on the calling thread, ended by the reply or by the
// inactivity limit. Emits manifest_read() whatever the outcome.
bool Updater::fetch_manifest(const QUrl &url, QByteArray &data)
{
    const std::unique_ptr<QNetworkReply> reply = BlockingRequest(url, network_timeout_ms).get();
    const bool success = reply->error() == QNetworkReply::NoError;
    if (success)
        data = reply->readAll();
    emit manifest_read();
    return success;
}

void Updater::read_manifest(bool check_files, const QString &manifest_name)
{
    server_version = QString();
    launcher_version = QString();
    file_queue.clear();
    refused_files.clear();
    total_steps = 0;
    exec_name = GAME_EXECUTABLE;
    refusal.clear();

    QByteArray data;
    const QUrl url = manifest_url(base_url, manifest_name);
    if (fetch_manifest(url, data) && manifest_accepted(url, data, DIST_PRODUCTION))
        parse_manifest(data, base_url, check_files);
    emit got_manifest();
}

void Updater::read_extra_manifest(const QUrl &base, const QString &manifest_name,
                                  const QString &distribution)
{
    QByteArray data;
    const QUrl url = manifest_url(base, manifest_name);
    if (!fetch_manifest(url, data) || !manifest_accepted(url, data, distribution))
        return;
    const QJsonObject manifest = QJsonDocument::fromJson(data).object();
    read_exec_name(manifest);
    if (manifest.contains(KEY_FILES))
        verify_files(manifest.value(KEY_FILES).toObject(), base);
}

void Updater::parse_manifest(const QByteArray &data, const QUrl &base, bool check_files)
{
    // A document that does not parse, or is no object, reads as an empty one.
    const QJsonObject manifest = QJsonDocument::fromJson(data).object();
    if (manifest.contains(KEY_SERVER_VERSION))
        server_version = manifest.value(KEY_SERVER_VERSION).toString();
    if (manifest.contains(KEY_LAUNCHER_VERSION))
        launcher_version = manifest.value(KEY_LAUNCHER_VERSION).toString();
    read_exec_name(manifest);
    if (check_files && manifest.contains(KEY_FILES))
        verify_files(manifest.value(KEY_FILES).toObject(), base);
}

// The executable is started later by name; one that is not a relative path
// inside the working directory is ignored and the previous name stays.
void Updater::read_exec_name(const QJsonObject &manifest)
{
    if (!manifest.contains(KEY_EXEC))
        return;
    const QString name = manifest.value(KEY_EXEC).toString();
    if (!safe_path::is_relative_path(name))
        return;
    // Folders on the way as for the game files; the program itself may be a
    // link of the player's own.
    QString leaf;
    OpenFolder::Status status;
    const OpenFolder folder = OpenFolder::open_parent(name, leaf, status);
    if (status == OpenFolder::Status::Refused)
        return;
    const OpenFolder::EntryInfo program =
        folder.is_open() ? folder.entry_info(leaf) : OpenFolder::EntryInfo();
    if (program.is_link && !program.trusted_link)
        return;
    // A link of the player's own leads through nothing of another owner.
    if (program.is_link) {
        folder.open_for_reading(leaf, status);
        if (status == OpenFolder::Status::Refused)
            return;
    }
    exec_name = name;
}
