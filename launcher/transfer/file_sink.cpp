#include "transfer/file_sink.h"

#include "files/safe_file.h"

#include <QFile>
#include <QFileInfo>

FileSink::FileSink(const QString &path)
    : path(path), name(QFileInfo(path).fileName()), output(path, -1)
{
}

// Always from the first byte: a file that is not an archive is never continued.
bool FileSink::open(bool, Resume &resume, UpdateFailure &failure)
{
    resume = {};
    std::unique_ptr<QFile> file = safe_file::create_new(path);
    if (!file) {
        failure = {UpdateFault::CannotWrite, name, QString()};
        return false;
    }
    output.adopt(std::move(file));
    return true;
}

// An answer that begins at 0 sends the whole file again: the file is emptied.
bool FileSink::write(qint64 at, const QByteArray &, const char *data, qint64 size,
                     UpdateFailure &failure)
{
    if (at == 0 && output.size() > 0 && !output.clear()) {
        failure = {UpdateFault::CannotWrite, name, QString()};
        return false;
    }
    if (size > 0 && output.write(data, size) != size) {
        failure = output.refusal(name, name);
        return false;
    }
    return true;
}

TransferSink::Verdict FileSink::finish(UpdateFailure &failure)
{
    output.close_file();
    failure = {};
    return Verdict::Done;
}

void FileSink::abort(Abandon how)
{
    output.close_file();
    if (how != Abandon::Cancelled)
        safe_file::remove_entry(path);
}
