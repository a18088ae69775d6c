#pragma once

#include <QJsonObject>
#include <QProcess>
#include <QString>
#include <QStringList>

#include <memory>

// The demo set-up the end-to-end tests share: two published releases of the
// demo game and a qa distribution, the local service, and the real launcher
// started in an install folder.
class DemoSession
{
public:
    DemoSession();
    ~DemoSession();

    // Runs the Windows programs of a cross-build under wine instead of the
    // build's own: `windows_bin` holds launcher.exe, patcher.exe, orvex.exe
    // and their DLLs; wine keeps its state in `wine_prefix`. Call before
    // publish(): the releases then carry the Windows game.
    void use_windows_programs(const QString &windows_bin, const QString &wine_prefix);
    // The environment wine runs in (empty without Windows programs).
    QProcessEnvironment wine_environment() const;

    // Makes the releases and publishes them under `root`. Once per suite.
    bool publish(const QString &root);

    // An install folder: empty, or holding release 1. With Windows programs it
    // also holds the launcher, patcher.exe and their DLLs, as an installed
    // copy does, so the launcher finds patcher.exe and the game beside itself.
    QString make_install(const QString &name, bool with_release_1);

    // Starts devservice on the build's port, serving `downloads` at the
    // production base and `qa_downloads` for the qa distribution. Without
    // downloads the base answers 404 for everything, the manifest included.
    // A rate above 0 paces every file the service sends to that many KiB/s.
    bool start_service(const QString &downloads, const QString &qa_downloads = QString(),
                       int rate_kib = 0);
    // Stops it and returns the lines it logged ("METHOD PATH STATUS BYTES").
    QStringList stop_service();
    QStringList service_log() const;

    // Starts the launcher in the install folder; the stand-in game writes its
    // report to `record_path` and quits at once.
    bool start_launcher(const QString &install_dir, const QString &record_path);
    QString launcher_window() const { return window_id; }
    // Types name and password into the form and presses Return.
    void log_in(const QString &name, const QString &password);
    // Clicks the close button and returns the launcher's exit status (-1 if it did not end).
    int close_launcher();
    // Waits for the launcher to end by itself; its exit status, or -1.
    int wait_for_launcher_exit(int timeout_ms);
    bool launcher_running() const;

    // Hash texts of the install folder's files that differ from the manifest.
    QStringList files_differing_from(const QString &manifest_path,
                                     const QString &install_dir) const;
    // How many lines of a service log contain `text`.
    static int count_containing(const QStringList &log, const QString &text);
    static QJsonObject read_json(const QString &path);
    static bool wait_for_file(const QString &path, int timeout_ms);
    // Copies every file below `from` to the same place below `to`.
    static bool copy_folder(const QString &from, const QString &to);

    QString published_v2() const { return root + QStringLiteral("/published/v2"); }
    QString published_qa() const { return root + QStringLiteral("/published/qa"); }

private:
    bool run_tool(const QString &program, const QStringList &arguments);

    QString bin;
    QString windows_bin;
    QString wine_prefix;
    QString root;
    QString state_dir;
    int port;
    std::unique_ptr<QProcess> service;
    std::unique_ptr<QProcess> launcher;
    QString window_id;
    mutable QByteArray service_output;
};
