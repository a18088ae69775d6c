#include "updater/updater.h"

#include "updater/manifest.h"
#include "updater/update_run.h"

#include <QDir>

Updater::Updater(const QUrl &base_url) : Updater(base_url, GameFolder(QDir::currentPath())) { }

Updater::Updater(const QUrl &base_url, const GameFolder &game)
    : base_url(base_url)
    , game_folder(game)
    , reader(game_folder)
    , planner(game_folder)
    , run(new UpdateRun(game_folder, this))
{
    connect(run, &UpdateRun::download_error, this, &Updater::download_error);
    connect(run, &UpdateRun::download_progress, this, &Updater::download_progress);
    // The run works on a copy; once it has ended, the plan holds what it
    // left undone.
    connect(run, &UpdateRun::finished, this, [this](bool success) {
        if (run_started)
            plan.files = run->remaining_files();
        emit update_finished(success);
    });
}

Updater::~Updater() = default;

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

qint64 Updater::get_total_steps() const
{
    return run_started ? run->get_total_steps() : 0;
}

void Updater::set_network_timeout(int ms)
{
    reader.set_network_timeout(ms);
    run->set_network_timeout(ms);
}

void Updater::set_retry_delays(const QVector<int> &delays_ms)
{
    reader.set_retry_delays(delays_ms);
    run->set_retry_delays(delays_ms);
}

void Updater::read_manifest(bool check_files, const QString &manifest_name)
{
    server_version = QString();
    launcher_version = QString();
    hashed_before_plan += plan.hashed_files;
    plan = UpdatePlan();
    run_started = false;
    exec_name = GAME_EXECUTABLE;
    refusal.clear();

    // Before play a read rides out blips and the player reads why it waits;
    // the version-only read at start-up makes one attempt.
    const ManifestReader::RetryNotice retrying = [this](const QString &status) {
        emit download_progress(0, -1, status);
    };
    take(reader.read(base_url, manifest_name, DIST_PRODUCTION, [this] { emit manifest_read(); },
                     check_files ? retrying : ManifestReader::RetryNotice()),
         true, check_files);
    emit got_manifest();
}

void Updater::read_extra_manifest(const QUrl &base, const QString &manifest_name,
                                  const QString &distribution)
{
    take(reader.read(base, manifest_name, distribution, [this] { emit manifest_read(); },
                     [this](const QString &status) { emit download_progress(0, -1, status); }),
         false, true);
}

void Updater::parse_manifest(const QByteArray &data, const QUrl &base, bool check_files)
{
    take(reader.parse(data, base), true, check_files);
}

void Updater::verify_files(const QJsonObject &files, const QUrl &base)
{
    planner.add_files(plan, files, base);
}

void Updater::take(const Manifest &manifest, bool main, bool check_files)
{
    if (!manifest.refusal.isEmpty())
        refusal = manifest.refusal;
    if (!manifest.usable)
        return;
    if (main && manifest.server_version)
        server_version = *manifest.server_version;
    if (main && manifest.launcher_version)
        launcher_version = *manifest.launcher_version;
    if (manifest.exec_name)
        exec_name = *manifest.exec_name;
    if (check_files && manifest.files)
        planner.add_files(plan, *manifest.files, manifest.base_url);
}

// A run asked for after a refused manifest ends before anything is touched,
// with the refusal.
void Updater::start_update()
{
    if (!refusal.isEmpty()) {
        run->fail({UpdateFault::ManifestRefused, QString(), refusal});
        return;
    }
    run_started = true;
    run->start(plan);
}
