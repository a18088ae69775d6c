#pragma once

#include <QString>
#include <QStringList>

// What one publishing run is asked to do.
struct PublishOptions
{
    QString release_dir; // the game as installed
    QString out_dir; // where the served tree is written
    QStringList previous; // earlier outputs or release folders, newest first
    QString server_version;
    QString launcher_version;
    QString exec_name; // the game executable's key
    int patch_history = 3; // versions back a player may be and still patch
    int jobs = 1; // files worked on at the same time
    int patch_level = 0; // 0: the patch format's default
    bool follow_internal_links = false; // publish links to files inside the release
    QString check_dir; // --check: only check this published tree
    QString sign_key; // Ed25519 private key (PEM) that signs the manifest; "": unsigned
    QString verify_key; // --check: public key(s) (PEM) one of which must have signed
    bool new_history = false; // --out may hold a tree whose patches are dropped
    qint64 sequence = -1; // --sequence; -1: one more than the trees before
    QString distribution; // the distribution the tree is for
    int expires_after_days = 0; // 0: the manifest does not expire
};

enum class OptionsOutcome { Run, Exit, UsageError };

// Reads the command line (program name first). Prints --help, or the reason
// of a usage error, itself.
OptionsOutcome parse_publish_options(const QStringList &arguments, PublishOptions *options);
