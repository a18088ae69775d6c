#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

// Decodes an application/x-www-form-urlencoded body: items joined by "&",
// key and value by "=", "+" stands for a space and "%XX" for a byte; the
// bytes are UTF-8. Returns false for a malformed body: a bad escape, text
// that is not UTF-8, or a key given twice.
bool decode_form(const QByteArray &body, QHash<QString, QString> *fields);
