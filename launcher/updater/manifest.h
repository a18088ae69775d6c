#pragma once

#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <optional>

// What one manifest document says, read by ManifestReader: the versions and
// the program name where it gives them, and its files, served from base_url.
struct Manifest
{
    QUrl base_url;
    // Arrived and accepted: the other fields are the document's.
    bool usable = false;
    // Why a signed manifest was refused; "" when it was not.
    QString refusal;
    std::optional<QString> server_version;
    std::optional<QString> launcher_version;
    // "exec" when it names a safe local file; unset otherwise.
    std::optional<QString> exec_name;
    // The "files" object, when the document has one.
    std::optional<QJsonObject> files;
};
