#include "platform/program_start.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace {

// A regular file (or a link to one); a directory of the same name is no program.
bool is_file(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() && info.isFile();
}

} // namespace

QString resolve_program(const QString &name)
{
#ifdef Q_OS_WIN
    return name;
#else
    if (name.isEmpty() || name.contains(QLatin1Char('/')))
        return name;
    if (QCoreApplication::instance()) {
        const QString beside = QDir(QCoreApplication::applicationDirPath()).absoluteFilePath(name);
        if (is_file(beside))
            return beside;
    }
    const QString in_working_dir = QDir::current().absoluteFilePath(name);
    if (is_file(in_working_dir))
        return in_working_dir;
    return name;
#endif
}

QString find_local_program(const QString &folder, const QString &name)
{
    if (name.isEmpty())
        return QString();
    const QString path = QDir::cleanPath(QDir(folder).absoluteFilePath(name));
    return is_file(path) ? path : QString();
}

bool ensure_owner_executable(const QString &path)
{
    QFile file(path);
    if (!file.exists())
        return false;
    const QFileDevice::Permissions permissions = file.permissions();
    if (permissions & QFileDevice::ExeOwner)
        return true;
    return file.setPermissions(permissions | QFileDevice::ExeOwner);
}

void start_program(QProcess &process, const QString &name, const QStringList &arguments)
{
    process.start(resolve_program(name), arguments, QIODevice::ReadWrite);
}
