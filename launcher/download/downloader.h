#pragma once

#include "app/constants.h"

#include <QObject>
#include <QString>

class QFile;
class QNetworkReply;

// Fetches one file with a single HTTPS GET of url + ".bz2". A compressed body
// is saved as file_path + ".bz2" and extracted into file_path on the global
// thread pool; an uncompressed one is saved as file_path as it arrives. The
// outcome is told only by signals; one object serves one transfer.
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

    // Inactivity limit of the transfer: a server that sends nothing for this
    // long ends it. Must be set before download().
    void set_transfer_timeout(int ms) { transfer_timeout_ms = ms; }

signals:
    void download_error(int error_code, const QString &what);
    void download_progress(qint64 bytes_read, qint64 bytes_total);
    void download_finished();
    void extract_finished();

private slots:
    void readyRead();
    void downloadProgress(qint64 bytes_read, qint64 bytes_total);

private:
    // The extraction task, run on a pool thread. It emits extract_finished and
    // then the outcome, and touches no member after that last emission.
    void extract();

    QString url;
    QString file_path;
    bool compressed;
    QFile *output_file = nullptr;
    QNetworkReply *reply = nullptr;
    int transfer_timeout_ms = NETWORK_INACTIVITY_TIMEOUT_MS;
};
