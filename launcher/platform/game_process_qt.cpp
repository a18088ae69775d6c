#include "platform/game_process.h"

#include <QProcess>
#include <QStringList>

GameProcess::GameProcess() = default;
GameProcess::~GameProcess() = default;

bool GameProcess::start(const QString &program)
{
    process = std::make_unique<QProcess>();
    // The launcher never writes to the game; an open input pipe could keep
    // a game that reads it waiting for ever.
    process->setStandardInputFile(QProcess::nullDevice());
    process->start(program, QStringList(), QIODevice::ReadWrite);
    // Fails at once for a file that is no program or an environment too large to pass.
    return process->waitForStarted(-1);
}

void GameProcess::wait_for_end()
{
    if (process)
        process->waitForFinished(-1);
}

void GameProcess::put_environment(const char *name, const QString &value)
{
    if (value.isEmpty())
        qunsetenv(name);
    else
        qputenv(name, value.toUtf8());
}
