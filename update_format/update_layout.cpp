#include "update_layout.h"

namespace update_layout {

QString archive_address(const QString &base, const QString &name)
{
    return base + name + archive_suffix();
}

QString patch_address(const QString &base, const QString &patch_name)
{
    return archive_address(base + patch_folder(), patch_name);
}

} // namespace update_layout
