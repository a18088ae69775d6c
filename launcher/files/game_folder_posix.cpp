#include "files/game_folder.h"

#include <QDir>

GameFolder GameFolder::of_launcher()
{
    return GameFolder(QDir::currentPath());
}
