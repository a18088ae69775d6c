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
    if (lock_fd >= 0) {
        // Removed while still locked: a run that opened it meanwhile finds
        // it is no longer the file at that path and starts over.
        ::unlink(QFile::encodeName(lock_file).constData());
        ::close(lock_fd);
    }
}

bool StagingArea::lock(const QString &lock_path, QString *error)
{
    const QByteArray path = QFile::encodeName(lock_path);
    for (;;) {
        const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0) {
            *error = QStringLiteral("cannot create the lock file %1: %2")
                         .arg(lock_path, QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            char pid[32] = {};
            const ssize_t got = ::pread(fd, pid, sizeof pid - 1, 0);
            ::close(fd);
            const QString holder = got > 0
                ? QStringLiteral(" (pid %1)").arg(QString::fromLatin1(pid).trimmed())
                : QString();
            *error = QStringLiteral("another publisher%1 is writing %2 (lock file %3)")
                         .arg(holder, out, lock_path);
            return false;
        }
        struct stat held, named;
        if (::fstat(fd, &held) == 0 && ::stat(path.constData(), &named) == 0 &&
            held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
            const QByteArray pid = QByteArray::number(qint64(::getpid())) + '\n';
            // The pid is only a hint for whoever finds the lock taken.
            const bool noted = ::ftruncate(fd, 0) == 0 &&
                ::pwrite(fd, pid.constData(), size_t(pid.size()), 0) == pid.size();
            Q_UNUSED(noted)
            lock_fd = fd;
            lock_file = lock_path;
            return true;
        }
        ::close(fd); // the run that held it removed it as we opened it
    }
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
    if (!lock(parent + "/." + info.fileName() + ".publish-lock", error))
        return false;
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
