#pragma once

#include <QString>

class QDir;

// Rules for names that arrive over the network (manifest keys, "path" values,
// patch names, the game executable's name) before they become local paths.
// Nothing a manifest says may create, read or write anything outside the
// launcher's working directory.
namespace safe_path {

// A relative path made of "/"-separated segments: not empty, no NUL, no
// backslash, no colon (drive letters, alternate streams), no leading "/", no
// empty segment and no ".." segment.
bool is_relative_path(const QString &path);

// A plain file name: not empty, without "/", "\", "..", ":" or NUL.
bool is_plain_file_name(const QString &name);

// True when `relative` (already accepted by is_relative_path) stays inside
// `root` once symbolic links on the way are followed: every existing segment
// that is a link must resolve to a place inside root; a dangling link is
// refused, as its target could be created outside later.
bool stays_inside(const QDir &root, const QString &relative);

// Why Windows cannot hold `segment` (one part of a path) as the plain file
// or folder it names, or "" when it can: a device name (CON, PRN, AUX, NUL,
// CONIN$, CONOUT$, COM1-COM9, LPT1-LPT9 and their superscript forms, in
// any case, with or without an extension, spaces before the extension
// included), a name that ends with a dot or a space (Windows drops them,
// so two names would meet in one file), or one that holds a ":" (an
// alternate data stream or a drive). Such a name would reach a device or
// another file rather than the file named, so it is judged alike on every
// system: the publisher asks it for every name it serves.
QString windows_name_fault(const QString &segment);
// The first segment of the "/"-separated `path` that windows_name_fault
// finds fault with, or "" when none.
QString windows_unsafe_segment(const QString &path);
// Whether this system refuses `path` for its own files for the rule above:
// on Windows a path with such a segment, elsewhere none (such names are
// plain files there). Given on top of is_relative_path wherever a name from
// the network becomes a local path (safe_path_win.cpp, safe_path_posix.cpp).
bool refused_by_system(const QString &path);

// Both checks above, against `root`.
bool is_safe_inside(const QDir &root, const QString &relative);

// A manifest "path" (a folder to create) in the form the rules above expect:
// "\\" becomes "/", runs of "/" become one and a trailing "/" goes. Nothing
// else changes, so "..", a leading "/", drive letters and NUL are still
// refused by is_safe_inside afterwards. Only for folder names: a file's key
// is also its download address and is taken as it is.
QString normalised_folder(const QString &path);

} // namespace safe_path
