#include "updater/file_hasher.h"

#include <QAtomicInt>
#include <QFile>
#include <QThread>
#include <QThreadPool>
#include <QVector>

#include "hash_text.h"

#ifndef Q_OS_WIN
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifndef Q_OS_WIN
// The folder of the file a thread hashed last, kept open while the next
// files lie in it too: each file is then opened by its own name in that
// folder rather than by a walk along its whole path. The folder is opened
// along its path as the file's path would be walked.
class LastFolder
{
public:
    LastFolder() = default;
    ~LastFolder()
    {
        if (descriptor >= 0)
            ::close(descriptor);
    }
    LastFolder(const LastFolder &) = delete;
    LastFolder &operator=(const LastFolder &) = delete;

    QString digest_text(const QString &path)
    {
        const int slash = path.lastIndexOf(QLatin1Char('/'));
        if (slash < 0)
            return file_digest_text(path);
        const QStringRef parent = path.leftRef(slash + 1);
        if (!held || parent != folder) {
            if (descriptor >= 0)
                ::close(descriptor);
            folder = parent.toString();
            held = true;
#ifdef O_PATH
            constexpr int flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
#else
            constexpr int flags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif
            descriptor = ::open(QFile::encodeName(folder).constData(), flags);
        }
        // A folder that does not open leaves the path to tell why.
        if (descriptor < 0)
            return file_digest_text(path);
        return file_digest_text_at(descriptor, QFile::encodeName(path.mid(slash + 1)));
    }

private:
    QString folder; // with its trailing "/"
    int descriptor = -1;
    bool held = false;
};
#endif

} // namespace

QString FileHasher::hash_text(const QString &path)
{
    return file_hash_text(path);
}

QString FileHasher::digest_text(const QString &path)
{
    return file_digest_text(path);
}

QStringList FileHasher::hash_texts(const QStringList &paths)
{
    QStringList texts = digest_texts(paths);
    for (QString &text : texts)
        text.truncate(HASH_TEXT_LENGTH);
    return texts;
}

QStringList FileHasher::digest_texts(const QStringList &paths)
{
    QVector<QString> results(paths.size());
    // Every thread takes the next file not yet taken, so a few large files
    // do not leave one thread working while the others wait.
    QAtomicInt next(0);
    auto work = [&paths, &results, &next] {
#ifndef Q_OS_WIN
        LastFolder last_folder;
#endif
        for (int i = next.fetchAndAddRelaxed(1); i < paths.size(); i = next.fetchAndAddRelaxed(1)) {
#ifdef Q_OS_WIN
            results[i] = digest_text(paths[i]);
#else
            results[i] = last_folder.digest_text(paths[i]);
#endif
        }
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
