#include "manifest_entry.h"

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
    // One walk over the members rather than a look-up per key: manifests
    // list many thousands of entries.
    static const QString key_path = update_layout::key_path();
    static const QString key_hash = update_layout::key_hash();
    static const QString key_patches = update_layout::key_patches();
    static const QString key_size = update_layout::key_size();
    const QJsonObject object = value.toObject();
    ManifestEntry entry;
    for (auto it = object.constBegin(); it != object.constEnd(); ++it) {
        const QString key = it.key();
        if (key == key_hash)
            entry.hash = it.value().toString();
        else if (key == key_path)
            entry.path = it.value().toString();
        else if (key == key_patches)
            entry.patches = it.value().toArray();
        else if (key == key_size)
            entry.size = read_size(it.value());
    }
    return entry;
}

QJsonObject ManifestEntry::write() const
{
    QJsonObject object {{update_layout::key_path(), path},
                        {update_layout::key_hash(), hash},
                        {update_layout::key_patches(), patches}};
    if (size >= 0)
        object.insert(update_layout::key_size(), double(size));
    return object;
}
