#include "updater/file_hasher.h"

#include <QAtomicInt>
#include <QFile>
#include <QThread>
#include <QThreadPool>
#include <QVector>

#include "hash_text.h"

#include <vector>

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// Big enough to keep system calls rare, small enough to stay in the core's
// cache between the read and the digest.
constexpr qint64 READ_BLOCK_SIZE = 256 * 1024;

// Opens only a regular file: a FIFO or a device at a game file's name would
// block the read (or never end it), so it counts as a file that cannot be
// opened.
bool open_regular(QFile &file, const QString &path)
{
#ifdef Q_OS_WIN
    file.setFileName(path);
    return file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
#endif
}

} // namespace

QString FileHasher::hash_text(const QString &path)
{
    QFile file;
    if (!open_regular(file, path))
        return QString();
    HashTextDigest digest;
    // One buffer per thread for all the files it hashes: a fresh block of
    // this size per file would cost a mapping and its page faults each time.
    thread_local std::vector<char> buffer(READ_BLOCK_SIZE);
    for (;;) {
        const qint64 got = file.read(buffer.data(), READ_BLOCK_SIZE);
        if (got <= 0)
            break;
        digest.add(buffer.data(), size_t(got));
    }
    return digest.finish();
}

QStringList FileHasher::hash_texts(const QStringList &paths)
{
    QVector<QString> results(paths.size());
    // Every thread takes the next file not yet taken, so a few large files
    // do not leave one thread working while the others wait.
    QAtomicInt next(0);
    auto work = [&paths, &results, &next] {
        for (int i = next.fetchAndAddRelaxed(1); i < paths.size(); i = next.fetchAndAddRelaxed(1))
            results[i] = hash_text(paths[i]);
    };
    const int helpers = qMin(QThread::idealThreadCount(), paths.size()) - 1;
    if (helpers > 0) {
        QThreadPool pool;
        pool.setMaxThreadCount(helpers);
        for (int i = 0; i < helpers; ++i)
            pool.start(work);
        work();
        pool.waitForDone();
    } else {
        work();
    }
    return results.toList();
}

QString FileHasher::hash_text_of(const QByteArray &data)
{
    return ::hash_text(data);
}
