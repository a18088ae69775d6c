#pragma once

#include <QString>
#include <QVector>

// Every endpoint, file name and fixed text of the launcher. No other module
// spells one of these values itself.

// Service group
extern const QString LAUNCHER_VERSION;
extern const QString USER_AGENT;
extern const QString MANIFEST_NAME;
extern const QString URL_HOME;
extern const QString URL_FORUMS;
extern const QString URL_WIKI;
extern const QString URL_ACCOUNT;
extern const QString URL_RELEASES;
extern const QString URL_FAQ;
extern const QString URL_RESET_PASSWORD;
extern const QString URL_REGISTER;
extern const QString URL_PLAY;
extern const QString URL_LAUNCHER_API;
extern const QString URL_LOGIN_API;
extern const QString URL_DOWNLOAD;
extern const QString URL_DOWNLOAD_DIST;
extern const QString GAME_EXECUTABLE;
extern const QString DIST_PRODUCTION;

// Window-text group
extern const QString TEXT_LAUNCHER_UPDATE_TITLE;
extern const QString TEXT_LAUNCHER_UPDATE;
extern const QString TEXT_CONNECT_FAILED;
extern const QString TEXT_INVALID_RESPONSE;
extern const QString TEXT_OPEN_WRITE_FAILED;
extern const QString TEXT_OPEN_READ_FAILED;
extern const QString TEXT_EXTRACT_FAILED;
extern const QString TEXT_DOWNLOAD_FAILED;
extern const QString TEXT_FILE_DAMAGED;
extern const QString TEXT_NO_DISK_SPACE;
extern const QString TEXT_DISK_FULL_WRITING;
extern const QString TEXT_RETRYING;
extern const QString TEXT_RETRY_NOT_RESPONDING;
extern const QString TEXT_RETRY_TOO_SLOW;
extern const QString TEXT_RETRY_CANNOT_CONNECT;
extern const QString TEXT_RETRY_CONNECTION_LOST;
extern const QString TEXT_RETRY_SERVER_ERROR;
extern const QString TEXT_RETRY_WRONG_PART;
extern const QString TEXT_RETRY_CANNOT_RESUME;
extern const QString TEXT_RETRY_TLS_FAILED;
extern const QString TEXT_RETRY_SERVER_BUSY;
extern const QString TEXT_FAILED_BECAUSE;
extern const QString TEXT_SERVER_ANSWERED;
extern const QString TEXT_FILES_REFUSED;
extern const QString TEXT_MANIFEST_SIGNATURE;
extern const QString TEXT_MANIFEST_OLDER;
extern const QString TEXT_MANIFEST_OTHER_DISTRIBUTION;
extern const QString TEXT_MANIFEST_EXPIRED;
extern const QString TEXT_MANIFEST_NO_DIGESTS;
extern const QString TEXT_MANIFEST_NO_FACTS;
extern const QString TEXT_MANIFEST_OTHER_RELEASE;
extern const QString TEXT_MANIFEST_SIGNATURE_UNREACHABLE;
extern const QString TEXT_NOT_AVAILABLE;
extern const QString TEXT_LOGIN;
extern const QString TEXT_VERIFYING_CREDENTIALS;
extern const QString TEXT_CHECKING_UPDATES;
extern const QString TEXT_UPDATING_FILE;
extern const QString TEXT_UNIT_BYTES;
extern const QString TEXT_UNIT_KB;
extern const QString TEXT_UNIT_MB;
extern const QString TEXT_PER_SECOND;
extern const QString TEXT_STARTING_GAME;
extern const QString TEXT_GAME_START_FAILED;
extern const QString TEXT_DISPLAY_OPTIONS;
extern const QString TEXT_WINDOW_TITLE;
extern const QString TEXT_GETTING_VERSION;
extern const QString TEXT_SERVER_VERSION;
extern const QString TEXT_LAUNCHER_VERSION;
extern const QString TEXT_UPDATE_BUTTON;
extern const QString TEXT_CHOOSE_GRAPHICS;
extern const QString TEXT_OPENGL;
extern const QString TEXT_DIRECTX9;
extern const QString TEXT_TWO_STEP_TITLE;
extern const QString TEXT_TWO_STEP_LABEL;
extern const QString GAME_API_FILE;
extern const QString GAME_API_OPENGL;
extern const QString GAME_API_DIRECTX9;

// Codes of the login errors: the account service's status plus this base,
// or one of the two below, shown before their texts above.
constexpr int CODE_LOGIN_STATUS_BASE = 500;
constexpr int CODE_CONNECT_FAILED = 900; // TEXT_CONNECT_FAILED
constexpr int CODE_INVALID_RESPONSE = 901; // TEXT_INVALID_RESPONSE
// Codes of the file-transfer errors, shown before their texts above.
constexpr int CODE_OPEN_WRITE_FAILED = 902; // TEXT_OPEN_WRITE_FAILED
constexpr int CODE_OPEN_READ_FAILED = 903; // TEXT_OPEN_READ_FAILED
constexpr int CODE_SHORT_WRITE = 904; // TEXT_EXTRACT_FAILED
constexpr int CODE_DOWNLOAD_FAILED = 905; // TEXT_DOWNLOAD_FAILED
constexpr int CODE_FILE_DAMAGED = 906; // TEXT_FILE_DAMAGED
constexpr int CODE_NO_DISK_SPACE = 907; // TEXT_NO_DISK_SPACE, TEXT_DISK_FULL_WRITING
constexpr int CODE_FILES_REFUSED = 908; // TEXT_FILES_REFUSED
// Codes of an archive that does not decode, shown before TEXT_EXTRACT_FAILED:
// libbzip2's own error numbers, passed through unchanged.
constexpr int CODE_ARCHIVE_NO_MEMORY = -3;
constexpr int CODE_ARCHIVE_DAMAGED = -4;
constexpr int CODE_ARCHIVE_NOT_BZIP2 = -5;
constexpr int CODE_ARCHIVE_READ_FAILED = -6;
constexpr int CODE_ARCHIVE_CUT_SHORT = -7;
// A manifest without a valid signature by a compiled-in key, or a signed one
// that is not for this folder now.
constexpr int CODE_MANIFEST_SIGNATURE = 909; // TEXT_MANIFEST_SIGNATURE, TEXT_MANIFEST_*

// Not part of the fixed texts above: the launcher's own guard against a
// service that stops sending. An exchange or transfer that receives no byte
// for this long ends as failed.
constexpr int NETWORK_INACTIVITY_TIMEOUT_MS = 30000;
// A transfer attempt that receives less than this in any span of the
// inactivity time-out is too slow and ends as if it had timed out.
constexpr int NETWORK_LOW_SPEED_BYTES = 1024;
// Pauses before the second, third... attempt of a failed transfer: about a
// minute in all, so a Wi-Fi drop or a router restart does not end an update.
extern const QVector<int> NETWORK_RETRY_DELAYS_MS;
// The longest pause a server's Retry-After may ask for.
constexpr int NETWORK_RETRY_AFTER_MAX_MS = 60000;

// Shown in the news page when the page cannot be fetched.
extern const QString TEXT_CANNOT_DISPLAY_NEWS;

// The patch program, started by bare name beside the launcher.
extern const QString PATCH_PROGRAM;
