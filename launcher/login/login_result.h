#pragma once

#include <QString>

// Outcome of one login exchange. On success `text` is the play cookie that the
// game receives; otherwise it is the message shown to the player after `code`.
struct LoginResult
{
    bool success = false;
    int code = 0;
    QString text = QStringLiteral("");
    QString game_server = QStringLiteral("");
    QString dist = QStringLiteral("");
};
