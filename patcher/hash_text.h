#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>

// The 7-character hash text that identifies a file's content everywhere in
// the update system: the first 7 lowercase hexadecimal digits of its SHA-256.
constexpr int HASH_TEXT_LENGTH = 7;

QString hash_text(const char *data, std::size_t size);
QString hash_text(const QByteArray &data);

// Hash text of a file's bytes, read in pieces; "" when it cannot be read.
QString file_hash_text(const QString &path);
