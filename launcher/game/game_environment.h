#pragma once

#include "login/login_result.h"

// The environment the game receives: the play cookie, the game server, the
// distribution in upper case, and ORVEX_DEV=YES outside production. A value
// that is empty leaves its variable absent rather than set to "".
class GameEnvironment
{
public:
    // Puts the variables into the launcher's own environment, which the game inherits.
    static void apply(const LoginResult &login);
    // Takes ORVEX_DEV out of the launcher's environment again once the game has it.
    static void withdraw_dev_flag(const LoginResult &login);
    static bool is_production(const LoginResult &login);
};
