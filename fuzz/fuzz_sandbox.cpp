#include "fuzz_sandbox.h"

#include <QCoreApplication>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <cstdlib>

#include <unistd.h>

namespace {

QByteArray read_all(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

void fuzz_fail(const char *what)
{
    std::fprintf(stderr, "fuzz finding: %s\n", what);
    std::abort();
}

FuzzSandbox *FuzzSandbox::start_run(const char *program)
{
    static int argc = 1;
    static char *argv[] = {const_cast<char *>(program), nullptr};
    new QCoreApplication(argc, argv);
    static FuzzSandbox instance;
    if (!instance.valid())
        fuzz_fail("no temporary folder");
    return &instance;
}

FuzzSandbox::FuzzSandbox()
{
    QDir dir(root.path());
    dir.mkpath(QStringLiteral("work"));
    dir.mkpath(QStringLiteral("outside"));
}

QString FuzzSandbox::work_path() const
{
    return root.filePath(QStringLiteral("work"));
}

QString FuzzSandbox::outside_path() const
{
    return root.filePath(QStringLiteral("outside"));
}

void FuzzSandbox::add_work_file(const QString &relative, const QByteArray &content)
{
    const QString path = QDir(work_path()).filePath(relative);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        fuzz_fail("cannot set up the sandbox");
}

void FuzzSandbox::add_outside_link(const QString &relative)
{
    if (::geteuid() != 0)
        return;
    const QString link = QDir(work_path()).filePath(relative);
    if (!QFile::link(outside_path(), link) ||
        ::lchown(QFile::encodeName(link).constData(), 65534, 65534) != 0)
        fuzz_fail("cannot link out of the sandbox");
}

void FuzzSandbox::seal()
{
    sealed_root =
        QDir(root.path())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden);
    sealed_outside = list_tree(outside_path());
    sealed_work = list_tree(work_path());
    sealed_content.clear();
    for (const QString &relative : qAsConst(sealed_work)) {
        const QString path = QDir(work_path()).filePath(relative);
        if (QFileInfo(path).isFile() && !QFileInfo(path).isSymLink())
            sealed_content.insert(relative, read_all(path));
    }
}

QStringList FuzzSandbox::list_tree(const QString &dir) const
{
    QStringList entries;
    QDirIterator it(dir, QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden,
                    QDirIterator::Subdirectories);
    const QDir base(dir);
    while (it.hasNext())
        entries << base.relativeFilePath(it.next());
    entries.sort();
    return entries;
}

void FuzzSandbox::check_and_reset()
{
    const QStringList now_root =
        QDir(root.path())
            .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System | QDir::Hidden);
    if (now_root != sealed_root)
        fuzz_fail("something was created beside the working folder");
    if (list_tree(outside_path()) != sealed_outside)
        fuzz_fail("something was created through a link out of the working folder");

    const QDir work(work_path());
    // Deepest first, so folders are empty when their turn comes.
    QStringList created = list_tree(work_path());
    std::sort(created.begin(), created.end(), std::greater<QString>());
    for (const QString &relative : qAsConst(created)) {
        if (sealed_work.contains(relative))
            continue;
        const QString path = work.filePath(relative);
        const QFileInfo info(path);
        if (info.isDir() && !info.isSymLink())
            work.rmdir(relative);
        else
            QFile::remove(path);
    }
    for (auto it = sealed_content.cbegin(); it != sealed_content.cend(); ++it) {
        if (read_all(work.filePath(it.key())) != it.value())
            fuzz_fail("a file of the working folder changed");
    }
}
