#include "platform/game_process.h"

#include "atomic_file.h"
#include "files/short_path.h"

#include <QDir>

#include <cstdlib>
#include <string>

#include <windows.h>

GameProcess::GameProcess() = default;

GameProcess::~GameProcess()
{
    if (process)
        CloseHandle(static_cast<HANDLE>(process));
}

bool GameProcess::start(const QString &program)
{
    // A program path of 260 characters or more is started by its short form
    // where the volume has one: the system looks a program up within that
    // limit.
    const QString usable = short_path::usable(program);
    const std::wstring path = usable.size() < short_path::LIMIT
        ? usable.toStdWString()
        : atomic_file::windows_path(program);
    // The command line holds the program's own name, quoted, and nothing else.
    std::wstring command =
        L"\"" + QDir::toNativeSeparators(program).toStdWString() + L"\"";
    STARTUPINFOW startup {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started {};
    // No handles inherited: the game gets no input from the launcher.
    if (!CreateProcessW(path.c_str(), &command[0], nullptr, nullptr, FALSE,
                        CREATE_UNICODE_ENVIRONMENT, nullptr, nullptr, &startup, &started))
        return false;
    CloseHandle(started.hThread);
    process = started.hProcess;
    return true;
}

void GameProcess::wait_for_end()
{
    if (process)
        WaitForSingleObject(static_cast<HANDLE>(process), INFINITE);
}

void GameProcess::put_environment(const char *name, const QString &value)
{
    // The wide call: values reach the game as they are, whatever the code
    // page; an empty value removes the variable.
    _wputenv_s(QString::fromLatin1(name).toStdWString().c_str(), value.toStdWString().c_str());
}
