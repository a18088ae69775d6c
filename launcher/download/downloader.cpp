#include "download/downloader.h"

#include "download/archive_extractor.h"

#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>

#include <memory>

namespace {
const QString ARCHIVE_SUFFIX = QStringLiteral(".bz2");
constexpr qint64 READ_BUFFER_SIZE = 1 << 20;
} // namespace

Downloader::Downloader(const QString &url, const QString &file_path, bool compressed)
    : url(url), file_path(file_path), compressed(compressed)
{
}

Downloader::~Downloader()
{
    if (output_file) {
        output_file->close();
        delete output_file;
    }
}

// Opens the output before any request, streams the body to disk on every
// readyRead, then either extracts on the pool or reports the plain file. After
// the final emission only locals are touched: a receiver may delete this.
void Downloader::download()
{
    output_file = new QFile(compressed ? file_path + ARCHIVE_SUFFIX : file_path);
    if (!output_file->open(QIODevice::WriteOnly)) {
        delete output_file;
        output_file = nullptr;
        emit download_error(
            902, TEXT_OPEN_WRITE_FAILED.arg(QFileInfo(file_path).fileName(), 0, QLatin1Char(' ')));
        return;
    }

    QNetworkRequest request(QUrl(url + ARCHIVE_SUFFIX, QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::UserAgentHeader, USER_AGENT);
    request.setTransferTimeout(transfer_timeout_ms);

    auto manager = std::make_unique<QNetworkAccessManager>();
    reply = manager->get(request);
    // Bounds what the network thread may hold ahead of the disk writes, so
    // memory does not grow with the file when the disk is the slower side.
    reply->setReadBufferSize(READ_BUFFER_SIZE);
    connect(reply, &QNetworkReply::readyRead, this, &Downloader::readyRead);
    connect(reply, &QNetworkReply::downloadProgress, this, &Downloader::downloadProgress);
    {
        QEventLoop loop;
        connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
        loop.exec();
    }

    // Whatever body arrived, an error page or a cut transfer included, is what
    // the file holds: the extraction or the caller's hash check catches it.
    readyRead(); // anything the reply still holds
    delete reply;
    reply = nullptr;
    output_file->close();
    delete output_file;
    output_file = nullptr;

    if (!compressed) {
        emit download_finished();
        return;
    }
    QEventLoop loop;
    // Connected before the task starts, so a task that ends at once still
    // ends the wait.
    connect(this, &Downloader::extract_finished, &loop, &QEventLoop::quit);
    QFuture<void> task = QtConcurrent::run(this, &Downloader::extract);
    loop.exec();
    task.waitForFinished();
}

void Downloader::readyRead()
{
    if (output_file && reply)
        output_file->write(reply->readAll());
}

void Downloader::downloadProgress(qint64 bytes_read, qint64 bytes_total)
{
    emit download_progress(bytes_read, bytes_total);
}

void Downloader::extract()
{
    const QString archive_path = file_path + ARCHIVE_SUFFIX;
    const ExtractOutcome outcome = extract_archive(archive_path, file_path);
    QFile::remove(archive_path);
    emit extract_finished();
    if (outcome.code != 0)
        emit download_error(outcome.code, outcome.text);
    else
        emit download_finished();
}
