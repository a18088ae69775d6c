#include "game/game_environment.h"

#include "app/constants.h"
#include "platform/game_process.h"

namespace {

void put_variable(const char *name, const QString &value)
{
    GameProcess::put_environment(name, value);
}

} // namespace

bool GameEnvironment::is_production(const LoginResult &login)
{
    return login.dist == DIST_PRODUCTION;
}

void GameEnvironment::apply(const LoginResult &login)
{
    put_variable("ORVEX_PLAYCOOKIE", login.text);
    put_variable("ORVEX_GAMESERVER", login.game_server);
    put_variable("ORVEX_DIST", login.dist.toUpper());
    if (!is_production(login))
        put_variable("ORVEX_DEV", QStringLiteral("YES"));
}

void GameEnvironment::withdraw_dev_flag(const LoginResult &login)
{
    if (!is_production(login))
        put_variable("ORVEX_DEV", QString());
}
