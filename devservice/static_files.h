#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// Maps URL prefixes to folders and finds the file a request names, without
// ever leaving the folder: ".." and "." segments (encoded or not), bad
// escapes and NUL bytes are refused, and symbolic links that lead outside
// the folder count as missing. Only regular files are served; folders are
// never listed.
class StaticFiles
{
public:
    enum class Lookup { Found, NotFound, BadPath };

    // url_prefix starts and ends with "/". Returns false if dir is not a folder.
    bool add_mount(const QByteArray &url_prefix, const QString &dir);
    // True when the raw request path lies below one of the prefixes.
    bool covers(const QByteArray &raw_path) const;
    // Finds the file for a raw (still percent-encoded) request path.
    Lookup lookup(const QByteArray &raw_path, QString *file) const;

private:
    QList<QPair<QByteArray, QString>> mounts; // prefix, canonical folder
};
