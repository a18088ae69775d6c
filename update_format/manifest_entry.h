#pragma once

#include <QJsonArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

// One file's entry in a manifest's "files" object: the folder to create, the
// hash text of the current content, the patch names, the size and the whole
// SHA-256 of the content. Reading
// is lenient, as the launcher needs it: a value of the wrong type reads as
// empty, and a missing or malformed size as -1 (unknown), so older manifests
// keep working. Writing gives what the publisher publishes.
struct ManifestEntry
{
    QString path;
    QString hash;
    QJsonArray patches;
    qint64 size = -1;
    // 64 lowercase hexadecimal digits; "" when the entry gives none, or
    // anything else under that name.
    QString sha256;

    static ManifestEntry read(const QJsonValue &value);
    // "size" and "sha256" are written only when known.
    QJsonObject write() const;
};
