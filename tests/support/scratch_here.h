#pragma once

#include "files/game_folder.h"
#include "files/scratch_area.h"

#include <QString>

// The game folder the tests run in: the working directory at the call.
GameFolder game_here();
// The scratch area of the game folder the tests run in: the working
// directory at the call.
ScratchArea scratch_here();
// Where the extraction of `target`, a name in the working directory, is
// written before it replaces the target: a hidden name beside it.
QString extraction_path(const QString &target);
