#include "staging_area.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Deletes a tree; a symbolic link is removed itself, never followed.
void remove_entry(const QString &path)
{
    struct stat st;
    const QByteArray raw = QFile::encodeName(path);
    if (::lstat(raw.constData(), &st) != 0)
        return;
    if (S_ISDIR(st.st_mode))
        QDir(path).removeRecursively();
    else
        ::unlink(raw.constData());
}

} // namespace

StagingArea::~StagingArea()
{
    if (!staging.isEmpty())
        remove_entry(staging);
    if (lock_fd >= 0)
        ::close(lock_fd);
}

bool StagingArea::open(const QString &out_dir, QString *error)
{
    out = QDir::cleanPath(QDir(out_dir).absolutePath());
    const QFileInfo info(out);
    const QString parent = info.absolutePath();
    const QString prefix = QLatin1Char('.') + info.fileName() + QStringLiteral(".staging-");
    if (!QDir().mkpath(parent)) {
        *error = QStringLiteral("cannot create the folder %1").arg(parent);
        return false;
    }
    const QByteArray lock_path =
        QFile::encodeName(parent + "/." + info.fileName() + ".publish-lock");
    lock_fd = ::open(lock_path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock_fd < 0 || ::flock(lock_fd, LOCK_EX | LOCK_NB) != 0) {
        *error = lock_fd < 0
            ? QStringLiteral("cannot create the lock file %1").arg(QFile::decodeName(lock_path))
            : QStringLiteral("another publisher is writing %1").arg(out);
        return false;
    }
    const QStringList leftovers =
        QDir(parent).entryList({prefix + "*"}, QDir::AllEntries | QDir::Hidden | QDir::System);
    for (const QString &name : leftovers)
        remove_entry(parent + QLatin1Char('/') + name);

    QByteArray pattern = QFile::encodeName(parent + QLatin1Char('/') + prefix + "XXXXXX");
    if (!::mkdtemp(pattern.data())) {
        *error = QStringLiteral("cannot create a staging folder beside %1: %2")
                     .arg(out, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    staging = QFile::decodeName(pattern);
    // mkdtemp makes it private; the served tree is as readable as a new folder.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::chmod(pattern.constData(), 0777 & ~mask);
    if (!QDir().mkpath(scratch()) || !QDir().mkpath(staging + QStringLiteral("/patches"))) {
        *error = QStringLiteral("cannot create folders in %1").arg(staging);
        return false;
    }
    return true;
}

bool StagingArea::publish(QString *error)
{
    QDir(scratch()).removeRecursively();
    const QByteArray from = QFile::encodeName(staging);
    const QByteArray to = QFile::encodeName(out);
    struct stat st;
    const bool exists = ::lstat(to.constData(), &st) == 0;
    int rc = exists
        ? ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_EXCHANGE)
        : ::renameat2(AT_FDCWD, from.constData(), AT_FDCWD, to.constData(), RENAME_NOREPLACE);
    if (rc != 0 && exists && (errno == EINVAL || errno == ENOSYS)) {
        // No atomic exchange on this file system: the served folder is
        // missing between the two renames, but never holds a mix.
        std::fprintf(stderr, "publisher: warning: %s cannot swap folders atomically\n",
                     qPrintable(out));
        const QByteArray retired = from + ".old";
        rc = ::rename(to.constData(), retired.constData());
        if (rc == 0) {
            rc = ::rename(from.constData(), to.constData());
            if (rc == 0)
                remove_entry(QFile::decodeName(retired));
            else
                ::rename(retired.constData(), to.constData());
        }
    }
    if (rc != 0) {
        *error = QStringLiteral("cannot put the new tree in place at %1: %2")
                     .arg(out, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    // After an exchange the staging name holds the old tree.
    remove_entry(staging);
    staging.clear();
    return true;
}
