#pragma once

// Windows only: a path that calls limited to 260 characters still accept.
#include <QString>

namespace short_path {

// The characters a path may have where the system still keeps the old
// limit (a working directory, a program to start): MAX_PATH less the
// terminating zero and the room Windows keeps for a file name in a folder.
constexpr int LIMIT = 260 - 12;

// `path` (absolute, "/" or "\\") in native form when it is shorter than
// LIMIT; else its short (8.3) form where the volume keeps short names and
// that one is short enough; else the long path unchanged.
QString usable(const QString &path);

} // namespace short_path
