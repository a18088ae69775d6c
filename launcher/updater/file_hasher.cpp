#include "updater/file_hasher.h"

#include <QAtomicInt>
#include <QFile>
#include <QThread>
#include <QThreadPool>
#include <QVector>

#include "hash_text.h"

QString FileHasher::hash_text(const QString &path)
{
    return file_hash_text(path);
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
