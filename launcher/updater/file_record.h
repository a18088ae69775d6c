#pragma once

#include <QQueue>
#include <QString>
#include <QUrl>
#include <QtGlobal>

// One patch of a chain: the patch's full name as the manifest lists it and the
// hash text the file has once this patch has been applied.
struct PatchStep
{
    QString patch_name;
    QString result_hash;
};

// One file of the update plan. An empty patch chain means the whole file is
// downloaded; otherwise its patches are applied front first.
struct FileRecord
{
    QUrl base_url;
    QString name;
    QString local_hash;
    QString expected_hash;
    QQueue<PatchStep> patch_chain;
    // The manifest's "size" of the file in bytes; -1 when it gives none.
    qint64 expected_size = -1;
    // The manifest's "sha256" of the file: when given, the file is current
    // only with this whole digest, whatever its hash text.
    QString expected_sha256;

    // Records stand for files: two records are equal when their names are.
    bool operator==(const FileRecord &other) const { return name == other.name; }
    bool operator!=(const FileRecord &other) const { return !(*this == other); }
};
