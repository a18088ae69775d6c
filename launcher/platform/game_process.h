#pragma once

#include <QString>

#include <memory>

class QProcess;

// The game's process: started in the working directory with the launcher's
// own environment and no input, then waited for until it ends. On Windows
// the system's process calls are used directly (game_process_win.cpp),
// elsewhere Qt's (game_process_qt.cpp).
class GameProcess
{
public:
    GameProcess();
    ~GameProcess();
    GameProcess(const GameProcess &) = delete;
    GameProcess &operator=(const GameProcess &) = delete;

    // Starts `program`, a full path; false when it cannot start (no program,
    // an environment too large to pass).
    bool start(const QString &program);
    // Blocks the calling thread until the started game ends.
    void wait_for_end();

    // Sets a variable of the launcher's own environment, which the game
    // inherits, with the runtime's put-environment call; an empty value
    // removes it.
    static void put_environment(const char *name, const QString &value);

private:
#ifdef Q_OS_WIN
    void *process = nullptr; // the process HANDLE once started
#else
    std::unique_ptr<QProcess> process;
#endif
};
