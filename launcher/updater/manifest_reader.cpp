#include "updater/manifest_reader.h"

#include "update_layout.h"

#include "app/network_access.h"
#include "files/open_folder.h"
#include "transfer/downloader.h"
#include "transfer/memory_sink.h"
#include "safe_path.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>

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

// Far more than a manifest of a large game takes; a bigger body is not one.
constexpr qint64 MANIFEST_READ_LIMIT = 256 * 1024 * 1024;

QUrl manifest_url(const QUrl &base, const QString &manifest_name)
{
    // Plain concatenation: the base ends in "/".
    return QUrl(base.toString() + manifest_name, QUrl::TolerantMode);
}

} // namespace

ManifestReader::ManifestReader(const GameFolder &game) : game_folder(game), keys(default_keys()) { }

ManifestReader::Fetched ManifestReader::fetch(const QUrl &url, qint64 limit, bool past_caches,
                                              const RetryNotice &retrying) const
{
    MemorySink sink(limit);
    TransferRequest request;
    request.url = url;
    request.timeout_ms = network_timeout_ms;
    request.cache_bypass = past_caches ? 1 : 0;
    Downloader downloader(request, sink);
    downloader.set_retry_delays(retrying ? retry_delays_ms : QVector<int>());
    if (retrying)
        QObject::connect(&downloader, &Downloader::retrying,
                         [&retrying](const QString &reason, int seconds, int attempt, int attempts) {
                             retrying(TEXT_RETRYING.arg(reason, QString::number(seconds),
                                                        QString::number(attempt),
                                                        QString::number(attempts)));
                         });
    UpdateFailure failure;
    downloader.download(failure);
    Fetched fetched;
    if (!failure.failed()) {
        fetched.outcome = Fetched::Outcome::Arrived;
        fetched.data = sink.body();
        return fetched;
    }
    const int status = downloader.last_attempt().http_status;
    fetched.outcome = status == 404 || status == 410 ? Fetched::Outcome::Missing
                                                     : Fetched::Outcome::Failed;
    fetched.cause = failure.detail;
    return fetched;
}

Manifest ManifestReader::read(const QUrl &base, const QString &manifest_name,
                              const QString &distribution,
                              const std::function<void()> &fetched,
                              const RetryNotice &retrying) const
{
    const QUrl url = manifest_url(base, manifest_name);
    const Fetched document = fetch(url, MANIFEST_READ_LIMIT, false, retrying);
    fetched();
    Manifest manifest;
    if (document.outcome == Fetched::Outcome::Arrived)
        manifest.refusal = refusal_of(url, document.data, distribution, retrying);
    // The files are fetched on the main thread's connections: the server
    // sees no more than those.
    network_access::close_idle_connections_off_main_thread();
    if (document.outcome != Fetched::Outcome::Arrived || !manifest.refusal.isEmpty())
        return manifest;
    return parse(document.data, base);
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
