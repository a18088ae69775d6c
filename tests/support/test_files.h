#pragma once

#include <QByteArray>
#include <QString>

// Whole-file helpers for tests. write_file creates or truncates the file and
// tells whether every byte was written; read_file gives "<missing>" for a
// file that cannot be read, so a comparison with real content fails.
bool write_file(const QString &path, const QByteArray &content);
QByteArray read_file(const QString &path);
