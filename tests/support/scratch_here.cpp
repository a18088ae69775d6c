#include "scratch_here.h"

#include <QDir>
#include <QFileInfo>

GameFolder game_here()
{
    return GameFolder(QDir::currentPath());
}

ScratchArea scratch_here()
{
    return game_here().scratch();
}

QString extraction_path(const QString &target)
{
    const QFileInfo info(target);
    const QString hidden = ScratchArea::extraction_name(info.fileName());
    return info.path() == QLatin1String(".") ? hidden : info.path() + QLatin1Char('/') + hidden;
}
