#include "transfer/file_sink.h"

#include "app/constants.h"
#include "files/safe_file.h"

#include <QFile>
#include <QFileInfo>

FileSink::FileSink(const QString &path) : path(path), output(path, -1) { }

QString FileSink::name() const
{
    return display_name.isEmpty() ? QFileInfo(path).fileName() : display_name;
}

bool FileSink::open(bool, qint64 &offset, QByteArray &validator, Failure &failure)
{
    offset = 0;
    validator.clear();
    std::unique_ptr<QFile> file = safe_file::create_new(path);
    if (!file) {
        failure = {CODE_OPEN_WRITE_FAILED, TEXT_OPEN_WRITE_FAILED.arg(name(), 0, QLatin1Char(' '))};
        return false;
    }
    output.adopt(std::move(file));
    return true;
}

TransferSink::Failure FileSink::write_failure() const
{
    return output.refusal(name(), name());
}

TransferSink::Verdict FileSink::finish(Failure &failure)
{
    output.close_file();
    failure = {};
    return Verdict::Judged;
}

void FileSink::abandon(Abandon how)
{
    output.close_file();
    if (how != Abandon::Cancelled)
        safe_file::remove_entry(path);
}
