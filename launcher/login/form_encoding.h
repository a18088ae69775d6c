#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// Renders key/value pairs, in the given order, as an
// application/x-www-form-urlencoded body: "k1=v1&k2=v2". An empty value, null
// or not, still gets its "=".
//
// Space becomes "%20", "&" "%26", "=" "%3D", "#" "%23", text outside ASCII
// percent-encoded UTF-8. Two characters get extra care because a form decoder
// would otherwise change them: "+" is sent as "%2B" (a bare "+" decodes as a
// space) and "%" as "%25" (so that "%41" in a password is not taken as an
// escape and sent as "A").
QByteArray encode_form(const QList<QPair<QString, QString>> &items);
