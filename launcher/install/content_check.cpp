#include "install/content_check.h"

#include "hash_text.h"

bool ContentCheck::accepts(const QString &digest) const
{
    if (expected_hash.isEmpty() && expected_sha256.isEmpty())
        return true;
    return content_matches(digest, expected_hash, expected_sha256);
}
