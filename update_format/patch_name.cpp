#include "patch_name.h"

bool PatchName::parse(const QString &name, PatchName &out)
{
    if (name.size() < MIN_LENGTH)
        return false;
    out.source_hash = name.mid(name.size() - SOURCE_FROM_END, HASH_LENGTH);
    out.result_hash = name.mid(name.size() - RESULT_FROM_END, HASH_LENGTH);
    return true;
}

QString PatchName::compose(const QString &stem, const QString &source_hash,
                           const QString &result_hash)
{
    return stem + QLatin1Char('_') + source_hash + QLatin1Char('_') + result_hash +
        QStringLiteral(".patch");
}
