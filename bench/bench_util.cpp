#include "bench_util.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

RunResult run_shell(const QString &command)
{
    RunResult result;
    int out[2];
    if (pipe(out) != 0)
        return result;
    const QByteArray line = command.toLocal8Bit();
    QElapsedTimer timer;
    timer.start();
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl("/bin/sh", "sh", "-c", line.constData(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    QByteArray output;
    char buffer[4096];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        output.append(buffer, int(n));
    close(out[0]);
    int status = 0;
    rusage usage {};
    if (pid < 0 || wait4(pid, &status, 0, &usage) != pid)
        return result;
    result.seconds = double(timer.nsecsElapsed()) / 1e9;
    result.peak_mib = double(usage.ru_maxrss) / 1024.0;
    result.cpu_seconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
        double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    result.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.output = QString::fromLocal8Bit(output).trimmed();
    return result;
}

namespace {

template <typename Fill> bool ensure_file(const QString &path, qint64 size, Fill fill)
{
    if (QFileInfo(path).size() == size)
        return true;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    QByteArray block;
    for (qint64 written = 0; written < size; written += block.size()) {
        block = fill(int(qMin<qint64>(size - written, 1 << 20)));
        if (file.write(block) != block.size())
            return false;
    }
    return true;
}

} // namespace

bool ensure_text_file(const QString &path, qint64 size, quint32 seed)
{
    static const char *const words[] = {"the",   "orvex", "file",   "patch", "texture", "model",
                                        "sound", "level", "quest",  "npc",   "shard",   "zone",
                                        "spell", "armor", "ledger", "marsh", "tide",    "salt",
                                        "crate", "torch", "0",      "1",     "42",      "\n"};
    QRandomGenerator generator(seed);
    return ensure_file(path, size, [&](int length) {
        QByteArray block;
        block.reserve(length + 16);
        while (block.size() < length) {
            block += words[generator.bounded(int(sizeof(words) / sizeof(words[0])))];
            block += ' ';
            if (generator.bounded(8) == 0)
                block += QByteArray::number(generator.bounded(100000));
        }
        block.truncate(length);
        return block;
    });
}

bool ensure_random_file(const QString &path, qint64 size, quint32 seed)
{
    QRandomGenerator generator(seed);
    return ensure_file(path, size, [&](int length) {
        QByteArray block(length, Qt::Uninitialized);
        for (int i = 0; i + 4 <= length; i += 4) {
            const quint32 value = generator.generate();
            memcpy(block.data() + i, &value, 4);
        }
        return block;
    });
}

QString shell_quote(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString shell_command(const QStringList &words)
{
    QStringList quoted;
    for (const QString &word : words)
        quoted.append(shell_quote(word));
    return quoted.join(QLatin1Char(' '));
}

QString fixed(double value)
{
    return QString::number(value, 'f', 2);
}
