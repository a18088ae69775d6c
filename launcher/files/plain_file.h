#pragma once

class QFile;
class QString;

// The launcher's own small files in the game folder (the verification cache,
// the release order): read only when a plain file stands at the name. The
// open neither blocks (a FIFO) nor follows a link; the type is then taken
// from what was opened. plain_file_posix.cpp and plain_file_win.cpp.
namespace plain_file {

// Opens `file` for reading on the plain file at `path`; false when there is
// none (missing, a link, a folder, a device or a FIFO).
bool open_for_reading(const QString &path, QFile &file);

} // namespace plain_file
