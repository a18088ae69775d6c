#include "files/game_folder.h"

#include "files/short_path.h"

#include <QCoreApplication>

#include <string>

#include <windows.h>

GameFolder GameFolder::of_launcher()
{
    const GameFolder game(QCoreApplication::applicationDirPath());
    // A working directory of 260 characters or more is refused: its short
    // form names the same folder. Where neither can be set, every path of
    // the game folder is still absolute and the working directory is left.
    const std::wstring folder = short_path::usable(game.path()).toStdWString();
    SetCurrentDirectoryW(folder.c_str());
    return game;
}
