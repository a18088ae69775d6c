#include "safe_path.h"

namespace safe_path {

// A device name would open the device, not a file in the game folder, and
// a trailing dot or space would name another file than the one listed.
bool refused_by_system(const QString &path)
{
    return !windows_unsafe_segment(path).isEmpty();
}

} // namespace safe_path
