#pragma once

#include <QString>
#include <QStringList>

class QProcess;

// Starting helper programs (the patch program, the game) the way the launcher
// expects on every platform: a bare program name means the file beside the
// launcher or, failing that, the one in the working directory.

// Returns the path to start for `name`. A name with a directory part is
// returned as it is. A bare name becomes the file of that name in the
// launcher's own folder if one exists there, else the one in the working
// directory if one exists there, else it stays bare. On Windows the name is
// always returned unchanged: the system's own search already looks in those
// two folders first.
QString resolve_program(const QString &name);

// The program file `name` names inside `folder` (absolute; the game folder,
// where the update put it), a name with a directory part relative to it.
// Returns the absolute path of that regular file, or "" when there is none:
// unlike resolve_program, never a bare name that the system would then look
// for along PATH, nor a file of that name beside the launcher. The same on
// every platform.
QString find_local_program(const QString &folder, const QString &name);

// Gives the file's owner the permission to execute it when it lacks it, as a
// file fetched over the network arrives without. Returns whether the owner
// may execute the file afterwards; false for a missing file.
bool ensure_owner_executable(const QString &path);

// Starts `name`, resolved with resolve_program, with the given arguments and
// both directions of the standard channels open (QIODevice::ReadWrite). The
// process runs in the launcher's working directory.
void start_program(QProcess &process, const QString &name, const QStringList &arguments);
