#include "manifest_entry.h"

#include "hash_text.h"
#include "update_layout.h"

#include <cmath>

namespace {

// Sizes beyond this are not taken as sizes: a double holds every integer
// below it exactly.
constexpr double LARGEST_SIZE = 9007199254740992.0;

// A whole, non-negative number of bytes; -1 for anything else.
qint64 read_size(const QJsonValue &value)
{
    if (!value.isDouble())
        return -1;
    const double size = value.toDouble();
    if (!(size >= 0 && size < LARGEST_SIZE) || size != std::floor(size))
        return -1;
    return qint64(size);
}

} // namespace

ManifestEntry ManifestEntry::read(const QJsonValue &value)
{
    const QJsonObject object = value.toObject();
    ManifestEntry entry;
    entry.path = object.value(update_layout::key_path()).toString();
    entry.hash = object.value(update_layout::key_hash()).toString();
    entry.patches = object.value(update_layout::key_patches()).toArray();
    entry.size = read_size(object.value(update_layout::key_size()));
    const QString sha256 = object.value(update_layout::key_sha256()).toString();
    if (is_digest_text(sha256))
        entry.sha256 = sha256;
    return entry;
}

QJsonObject ManifestEntry::write() const
{
    QJsonObject object {{update_layout::key_path(), path},
                        {update_layout::key_hash(), hash},
                        {update_layout::key_patches(), patches}};
    if (size >= 0)
        object.insert(update_layout::key_size(), double(size));
    if (!sha256.isEmpty())
        object.insert(update_layout::key_sha256(), sha256);
    return object;
}
