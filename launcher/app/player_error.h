#pragma once

#include "app/update_failure.h"

#include <QString>

// The code and text the player sees for an update that ended with an error.
struct PlayerError
{
    int code = 0;
    QString text;
};

// The one table from the update's faults to the player's codes and texts.
PlayerError player_error(const UpdateFailure &failure);
