#include "app/constants.h"

#include "update_layout.h"

#include "app/version.h"

// Host values come from the build (CMake cache variables ORVEX_HOST_*).
#define ORVEX_HTTPS(host) QStringLiteral("https://" host)

// Service group, in declaration order: LAUNCHER_VERSION precedes USER_AGENT,
// which is built from it in this same translation unit.
const QString LAUNCHER_VERSION = QStringLiteral(ORVEX_LAUNCHER_VERSION);
const QString USER_AGENT = QStringLiteral("ORVEX-Launcher/") + LAUNCHER_VERSION;
const QString MANIFEST_NAME = update_layout::manifest_file();
const QString URL_HOME = ORVEX_HTTPS(ORVEX_HOST_ACCOUNT);
const QString URL_FORUMS = ORVEX_HTTPS(ORVEX_HOST_FORUMS "/");
const QString URL_WIKI = ORVEX_HTTPS(ORVEX_HOST_WIKI "/wiki/Main_Page");
const QString URL_ACCOUNT = ORVEX_HTTPS(ORVEX_HOST_ACCOUNT "/account/");
const QString URL_RELEASES = ORVEX_HTTPS(ORVEX_HOST_ACCOUNT "/releases/");
const QString URL_FAQ = ORVEX_HTTPS(ORVEX_HOST_ACCOUNT "/help/faq/");
const QString URL_RESET_PASSWORD = ORVEX_HTTPS(ORVEX_HOST_ACCOUNT "/resetpass/");
const QString URL_REGISTER = ORVEX_HTTPS(ORVEX_HOST_ACCOUNT "/register/");
const QString URL_PLAY = ORVEX_HTTPS(ORVEX_HOST_ACCOUNT "/play/");
const QString URL_LAUNCHER_API = ORVEX_HTTPS(ORVEX_HOST_API "/launcher/");
const QString URL_LOGIN_API = ORVEX_HTTPS(ORVEX_HOST_API "/login/");
const QString URL_DOWNLOAD = ORVEX_HTTPS(ORVEX_HOST_DOWNLOAD "/win32/");
const QString URL_DOWNLOAD_DIST = ORVEX_HTTPS(ORVEX_HOST_DIST_PATTERN "/win64/");
const QString GAME_EXECUTABLE = update_layout::default_exec();
const QString DIST_PRODUCTION = QStringLiteral("prod");

// Window-text group
const QString TEXT_LAUNCHER_UPDATE_TITLE = QStringLiteral("Launcher Update");
const QString TEXT_LAUNCHER_UPDATE =
    QStringLiteral("There is an update available for the launcher.");
const QString TEXT_CONNECT_FAILED = QStringLiteral("Couldn't connect to the account server.");
const QString TEXT_INVALID_RESPONSE =
    QStringLiteral("Received an invalid response from the account server.");
const QString TEXT_OPEN_WRITE_FAILED = QStringLiteral("Couldn't open file for write: %1");
const QString TEXT_OPEN_READ_FAILED = QStringLiteral("Couldn't open file for read: %1");
const QString TEXT_EXTRACT_FAILED = QStringLiteral("Couldn't extract archive: %1");
// File-transfer errors beyond the three above (codes in the header): a
// transfer that failed for good, a file whose content does not match the
// manifest, a disk that cannot hold the update, listed files that may not be
// written.
const QString TEXT_DOWNLOAD_FAILED = QStringLiteral("Couldn't download file: %1");
const QString TEXT_FILE_DAMAGED = QStringLiteral("Downloaded file is damaged: %1");
const QString TEXT_NO_DISK_SPACE =
    QStringLiteral("Not enough disk space: %1 MB needed, %2 MB free");
// The disk filled up while a file of the update was written: the game file's
// bare name.
const QString TEXT_DISK_FULL_WRITING = QStringLiteral("Not enough disk space to write %1");
// Status while a failed transfer waits for its next attempt: reason, seconds,
// attempt number, attempts in all.
const QString TEXT_RETRYING = QStringLiteral("%1, retrying in %2 s (attempt %3 of %4)...");
// Why a transfer attempt failed: the first part of TEXT_RETRYING. The server
// error takes the HTTP status.
const QString TEXT_RETRY_NOT_RESPONDING = QStringLiteral("Server not responding");
const QString TEXT_RETRY_TOO_SLOW = QStringLiteral("Server too slow");
const QString TEXT_RETRY_CANNOT_CONNECT = QStringLiteral("Couldn't connect to the download server");
const QString TEXT_RETRY_CONNECTION_LOST = QStringLiteral("Connection lost");
const QString TEXT_RETRY_SERVER_ERROR = QStringLiteral("Server error %1");
const QString TEXT_RETRY_WRONG_PART = QStringLiteral("Server sent the wrong part of the file");
const QString TEXT_RETRY_CANNOT_RESUME = QStringLiteral("Server cannot resume the file");
const QString TEXT_RETRY_TLS_FAILED = QStringLiteral("Secure connection failed");
// The server asked the launcher to slow down (429 or 503).
const QString TEXT_RETRY_SERVER_BUSY = QStringLiteral("Server busy");
// Why a transfer failed for good, after TEXT_DOWNLOAD_FAILED: the last
// attempt's HTTP status, or its network failure in the player's words.
const QString TEXT_FAILED_BECAUSE = QStringLiteral("%1 (%2)");
const QString TEXT_SERVER_ANSWERED = QStringLiteral("server answered %1");
const QString TEXT_FILES_REFUSED = QStringLiteral(
    "Couldn't update %1: its path leads outside the game folder (%2 file(s) skipped)");
// A manifest whose signature is missing, malformed or not made by a trusted key.
const QString TEXT_MANIFEST_SIGNATURE = QStringLiteral("Manifest signature is not valid");
// Signed manifests that are not for this game folder now: an earlier release
// than one accepted here, another distribution's, past its expiry, or one
// that does not bind every file by its whole digest.
const QString TEXT_MANIFEST_OLDER = QStringLiteral("Manifest is older than the installed release");
const QString TEXT_MANIFEST_OTHER_DISTRIBUTION =
    QStringLiteral("Manifest is for another distribution");
const QString TEXT_MANIFEST_EXPIRED = QStringLiteral("Manifest has expired");
const QString TEXT_MANIFEST_NO_DIGESTS = QStringLiteral("Manifest lacks file digests");
const QString TEXT_MANIFEST_NO_FACTS = QStringLiteral("Manifest lacks its sequence or distribution");
// A signed manifest of an accepted release's sequence whose bytes differ
// from that release's.
const QString TEXT_MANIFEST_OTHER_RELEASE =
    QStringLiteral("Manifest differs from the installed release of the same sequence");
// The signature could not be fetched (the server busy or unreachable after
// the retries); the cause follows as in TEXT_FAILED_BECAUSE.
const QString TEXT_MANIFEST_SIGNATURE_UNREACHABLE =
    QStringLiteral("Couldn't download the manifest signature");
const QString TEXT_NOT_AVAILABLE = QStringLiteral("N/A");
const QString TEXT_LOGIN = QStringLiteral("Login");
const QString TEXT_VERIFYING_CREDENTIALS = QStringLiteral("Verifying account credentials...");
const QString TEXT_CHECKING_UPDATES = QStringLiteral("Checking for updates...");
const QString TEXT_UPDATING_FILE =
    QStringLiteral("Updating file %1 of %2...\n%8\n[%3/%4%5 @ %6%7]");
// Units of its amounts and speed.
const QString TEXT_UNIT_BYTES = QStringLiteral("B");
const QString TEXT_UNIT_KB = QStringLiteral("kB");
const QString TEXT_UNIT_MB = QStringLiteral("MB");
const QString TEXT_PER_SECOND = QStringLiteral("/s");
const QString TEXT_STARTING_GAME = QStringLiteral("Starting the game...");
const QString TEXT_GAME_START_FAILED = QStringLiteral("Couldn't start the game: %1");
const QString TEXT_DISPLAY_OPTIONS = QStringLiteral("Display Options");
const QString TEXT_WINDOW_TITLE = QStringLiteral("Saltmarch");
// Shown until the manifest's versions arrive (rich text, right-aligned).
const QString TEXT_GETTING_VERSION =
    QStringLiteral("<html><head/><body><p align=\"right\"><span style=\" color:#ffffff;\">"
                   "Getting Version Info...</span></p></body></html>");
// The versions the manifest names: "Server v" or "Launcher v" and the version.
const QString TEXT_SERVER_VERSION = QStringLiteral("Server v%1");
const QString TEXT_LAUNCHER_VERSION = QStringLiteral("Launcher v%1");
const QString TEXT_UPDATE_BUTTON = QStringLiteral("Update");
const QString TEXT_CHOOSE_GRAPHICS =
    QStringLiteral("Choose a Graphics API from the options below:");
const QString TEXT_OPENGL = QStringLiteral("OpenGL");
const QString TEXT_DIRECTX9 = QStringLiteral("DirectX9");
const QString TEXT_TWO_STEP_TITLE = QStringLiteral("Two step required");
const QString TEXT_TWO_STEP_LABEL = QStringLiteral("Please provide your two step login token:");
const QString GAME_API_FILE = QStringLiteral("game_api.txt");
const QString GAME_API_OPENGL = QStringLiteral("pandagl");
const QString GAME_API_DIRECTX9 = QStringLiteral("pandadx9");

const QString TEXT_CANNOT_DISPLAY_NEWS = QStringLiteral("Cannot display news");

const QString PATCH_PROGRAM = QStringLiteral("patcher.exe");

const QVector<int> NETWORK_RETRY_DELAYS_MS = {1000, 2000, 4000, 8000, 15000, 30000};
