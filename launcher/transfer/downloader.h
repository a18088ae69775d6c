#pragma once

#include "app/constants.h"

#include <QObject>
#include <QString>
#include <QUrl>
#include <QVector>

#include <functional>
#include <memory>

class QEventLoop;
class DownloadSpool;
class QNetworkAccessManager;
class TransferAttempt;
class ExtractionBacklog;
class ExtractionTask;
class RequestPrefetcher;

// Fetches one file with HTTPS GETs of url + ".bz2". A compressed body lands
// in the launcher's scratch folder and is extracted while it arrives, into a
// new file that replaces file_path only once its hash text matched; an
// uncompressed one is saved as file_path as it arrives. Failed transfers are
// resumed where they stopped and retried after growing pauses; a cut
// compressed transfer resumes in a later run too. The outcome is told only
// by signals; one object serves one transfer.
class Downloader : public QObject
{
    Q_OBJECT

public:
    Downloader(const QString &url, const QString &file_path, bool compressed);
    ~Downloader() override;

    // Runs the whole transfer (and the extraction) on the calling thread,
    // spinning local event loops, and returns when it is over. After the final
    // signal the object may already be deleted by a receiver.
    void download();

    // Inactivity limit of each request: a server that sends nothing for this
    // long ends the attempt, and so does one that sends less than
    // NETWORK_LOW_SPEED_BYTES in any span this long. Retries stop once the
    // transfer has made no progress for twice this long (see transfer()).
    // Must be set before download().
    void set_transfer_timeout(int ms) { transfer_timeout_ms = ms; }
    // What the extracted file must be: its hash text ("" checks nothing) and
    // its size in bytes (< 0 when unknown; extraction stops beyond it).
    void set_expected(const QString &hash, qint64 size);
    // The pauses before the second, third... attempt; their number is the
    // number of retries.
    void set_retry_delays(const QVector<int> &delays_ms) { retry_delays_ms = delays_ms; }
    // Told before each pause: why the attempt failed, the pause in seconds,
    // the number of the coming attempt and of attempts in all.
    using RetryListener =
        std::function<void(const QString &reason, int seconds, int attempt, int attempts)>;
    void set_retry_listener(RetryListener listener) { retry_listener = std::move(listener); }
    // Hands the extraction of a compressed file to `backlog` once its archive
    // is complete, and ends with download_finished without waiting for it:
    // the backlog reports the outcome, and asks for a fetch past caches when
    // the file came out wrong and this transfer has a further level to try.
    // A resumed partial archive is still extracted before download() returns,
    // so a wrong one is fetched again.
    void set_extraction_backlog(ExtractionBacklog *backlog) { this->backlog = backlog; }
    // Where requests sent ahead wait: the first attempt of a transfer from
    // nothing takes the one for its address, if any, instead of asking anew.
    void set_prefetcher(RequestPrefetcher *prefetcher) { this->prefetcher = prefetcher; }
    // The address a transfer of url fetches.
    static QUrl address_of(const QString &url);

    // How hard a transfer asks past caches between it and the server. A
    // cache that keeps an archive of an earlier release under the same name
    // serves a body that arrives whole and is still not the file:
    //   0: the plain request;
    //   1: the request says "no-cache" (Cache-Control and Pragma), so a cache
    //      that honours it asks the server anew;
    //   2: besides, the address carries "?h=" and the hash text of the wanted
    //      content: a static server ignores the query, but every cache keys on
    //      the whole address, so none holds an old answer for it.
    // A transfer past caches starts from byte 0, never from a partial archive.
    static constexpr int MAX_CACHE_BYPASS = 2;
    void set_cache_bypass(int level) { cache_bypass = level; }
    // The hash text the query of level 2 names; by default the expected one.
    void set_cache_key(const QString &hash) { cache_key = hash; }
    // The name the player's texts give the file (a patch step names the game
    // file, not its patch); by default the file name of file_path.
    void set_display_name(const QString &name) { display_name = name; }
    // The manager requests go through; by default the calling thread's own.
    void set_network_manager(QNetworkAccessManager *manager) { network_manager = manager; }

    // Stops the transfer and the extraction as soon as possible; download()
    // then returns without any further signal and the target stays as it was.
    void cancel();

signals:
    void download_error(int error_code, const QString &what);
    void download_progress(qint64 bytes_read, qint64 bytes_total);
    void download_finished();
    void extract_finished();

private slots:
    void downloadProgress(qint64 bytes_read, qint64 bytes_total);

private:
    enum class Ending { Done, Failed, Cancelled, Retry };
    struct Failure
    {
        int code = 0;
        QString text;
    };

    Ending transfer(DownloadSpool &output, Failure &failure);
    bool pause(const QString &reason, int attempt, int attempts);
    void download_compressed();
    void download_plain();
    void open_archive(DownloadSpool &output, qint64 &offset);
    void follow_archive(const DownloadSpool &output);
    QString target_name() const;
    QUrl request_address() const;
    // The level a fetch past caches would use next; 0 when none is left.
    int next_cache_bypass() const;
    // Creates the new file beside the target: 0 when it could, else the
    // code of the error that ends the transfer.
    int prepare_new_file() const;
    void note_partial(const DownloadSpool &output);

    QString url;
    QString file_path;
    QString display_name;
    bool compressed;
    QString expected_hash;
    qint64 expected_size = -1;
    int cache_bypass = 0;
    QString cache_key;
    int transfer_timeout_ms = NETWORK_INACTIVITY_TIMEOUT_MS;
    QVector<int> retry_delays_ms = NETWORK_RETRY_DELAYS_MS;
    RetryListener retry_listener;
    QNetworkAccessManager *network_manager = nullptr;
    ExtractionBacklog *backlog = nullptr;
    RequestPrefetcher *prefetcher = nullptr;

    // Set only while download() runs.
    TransferAttempt *attempt = nullptr;
    ExtractionTask *extraction = nullptr;
    QEventLoop *pause_loop = nullptr;
    QByteArray validator;
    QByteArray noted_validator;
    bool note_written = false;
    bool cancelled = false;
};
