#pragma once

#include "hash_text.h"

#include <QString>

// The layout of a patch name, counted from its end (length L): the source hash
// text is the 7 characters starting at L - 21, one separator follows, the
// result hash text is the 7 characters starting at L - 13, and 6 trailing
// characters close it. At least one leading character comes first, so a usable
// name has at least 22 characters; the leading part and the trailing six are
// not interpreted.
struct PatchName
{
    static constexpr int HASH_LENGTH = HASH_TEXT_LENGTH;
    static constexpr int MIN_LENGTH = 22;
    static constexpr int SOURCE_FROM_END = 21;
    static constexpr int RESULT_FROM_END = 13;

    QString source_hash;
    QString result_hash;

    // Reads both hash texts out of `name`. Returns false, leaving `out`
    // untouched, when the name is too short for the layout.
    static bool parse(const QString &name, PatchName &out);

    // Builds a name with this layout: `stem`, "_", the source hash text, "_",
    // the result hash text and ".patch". Both hash texts must have 7
    // characters; the separator makes even an empty stem long enough.
    static QString compose(const QString &stem, const QString &source_hash,
                           const QString &result_hash);
};
