#pragma once

#include <QString>

// The vocabulary of a download tree, shared by the publisher that writes it
// and the launcher that reads it: the manifest's file name and keys, the
// archive suffix and the patch folder. Functions rather than global objects,
// so no other global's initialisation depends on their order.
namespace update_layout {

// The manifest at the top of a tree.
inline QString manifest_file()
{
    return QStringLiteral("patcher.json");
}
// A whole file travels as its name plus this suffix (a bzip2 archive).
inline QString archive_suffix()
{
    return QStringLiteral(".bz2");
}
// Patches live in this folder under the tree, each as its name plus the
// archive suffix.
inline QString patch_folder()
{
    return QStringLiteral("patches/");
}
// The game executable when the manifest names none.
inline QString default_exec()
{
    return QStringLiteral("orvex.exe");
}

// Manifest keys: top level...
inline QString key_server_version()
{
    return QStringLiteral("server-version");
}
inline QString key_launcher_version()
{
    return QStringLiteral("launcher-version");
}
inline QString key_exec()
{
    return QStringLiteral("exec");
}
inline QString key_files()
{
    return QStringLiteral("files");
}
// Facts about the tree inside the signed bytes: the publish's number in the
// tree's history, the distribution it is for and when it stops counting.
inline QString key_sequence()
{
    return QStringLiteral("sequence");
}
inline QString key_distribution()
{
    return QStringLiteral("distribution");
}
inline QString key_expires()
{
    return QStringLiteral("expires");
}
// ...and of each file's entry.
inline QString key_path()
{
    return QStringLiteral("path");
}
inline QString key_hash()
{
    return QStringLiteral("hash");
}
inline QString key_patches()
{
    return QStringLiteral("patches");
}
inline QString key_size()
{
    return QStringLiteral("size");
}
// The whole SHA-256 of the file's content, 64 lowercase hexadecimal digits.
inline QString key_sha256()
{
    return QStringLiteral("sha256");
}

} // namespace update_layout

namespace update_layout {

// Where a tree at `base` (ending in "/") serves the archive of the file
// `name`, and the patch `patch_name`.
QString archive_address(const QString &base, const QString &name);
QString patch_address(const QString &base, const QString &patch_name);

} // namespace update_layout
