#include "updater/manifest_reader.h"

#include "update_layout.h"

#include "app/blocking_request.h"
#include "files/open_folder.h"
#include "safe_path.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkReply>

#include <memory>

namespace {

const QString KEY_SERVER_VERSION = update_layout::key_server_version();
const QString KEY_LAUNCHER_VERSION = update_layout::key_launcher_version();
const QString KEY_EXEC = update_layout::key_exec();
const QString KEY_FILES = update_layout::key_files();

// The program name of a manifest object if it names a safe local file. The
// executable is started later by name; one that is not a relative path
// inside the working directory is ignored and the previous name stays.
std::optional<QString> exec_name_of(const GameFolder &game, const QJsonObject &manifest)
{
    if (!manifest.contains(KEY_EXEC))
        return std::nullopt;
    const QString name = manifest.value(KEY_EXEC).toString();
    if (!safe_path::is_relative_path(name) || safe_path::refused_by_system(name))
        return std::nullopt;
    // Folders on the way as for the game files; the program itself may be a
    // link of the player's own.
    QString leaf;
    OpenFolder::Status status;
    const OpenFolder folder = game.open_parent(name, leaf, status);
    if (status == OpenFolder::Status::Refused)
        return std::nullopt;
    const OpenFolder::EntryInfo program =
        folder.is_open() ? folder.entry_info(leaf) : OpenFolder::EntryInfo();
    if (program.is_link && !program.trusted_link)
        return std::nullopt;
    // A link of the player's own leads through nothing of another owner.
    if (program.is_link) {
        folder.open_for_reading(leaf, status);
        if (status == OpenFolder::Status::Refused)
            return std::nullopt;
    }
    return name;
}

QUrl manifest_url(const QUrl &base, const QString &manifest_name)
{
    // Plain concatenation: the base ends in "/".
    return QUrl(base.toString() + manifest_name, QUrl::TolerantMode);
}

} // namespace

ManifestReader::ManifestReader(const GameFolder &game) : game_folder(game), keys(default_keys()) { }

// One blocking GET on the calling thread, ended by the reply or by the
// inactivity limit.
bool ManifestReader::fetch(const QUrl &url, QByteArray &data) const
{
    const std::unique_ptr<QNetworkReply> reply = BlockingRequest(url, network_timeout_ms).get();
    const bool success = reply->error() == QNetworkReply::NoError;
    if (success)
        data = reply->readAll();
    return success;
}

Manifest ManifestReader::read(const QUrl &base, const QString &manifest_name,
                              const QString &distribution,
                              const std::function<void()> &fetched) const
{
    QByteArray data;
    const QUrl url = manifest_url(base, manifest_name);
    const bool arrived = fetch(url, data);
    fetched();
    Manifest manifest;
    if (!arrived)
        return manifest;
    manifest.refusal = refusal_of(url, data, distribution);
    if (!manifest.refusal.isEmpty())
        return manifest;
    return parse(data, base);
}

Manifest ManifestReader::parse(const QByteArray &data, const QUrl &base) const
{
    // A document that does not parse, or is no object, reads as an empty one.
    const QJsonObject document = QJsonDocument::fromJson(data).object();
    Manifest manifest;
    manifest.base_url = base;
    manifest.usable = true;
    if (document.contains(KEY_SERVER_VERSION))
        manifest.server_version = document.value(KEY_SERVER_VERSION).toString();
    if (document.contains(KEY_LAUNCHER_VERSION))
        manifest.launcher_version = document.value(KEY_LAUNCHER_VERSION).toString();
    manifest.exec_name = exec_name_of(game_folder, document);
    if (document.contains(KEY_FILES))
        manifest.files = document.value(KEY_FILES).toObject();
    return manifest;
}
