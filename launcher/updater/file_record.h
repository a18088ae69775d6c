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
    // How hard its transfer asks past caches (TransferRequest::cache_bypass):
    // raised when the patch arrived whole but did not give result_hash.
    int cache_bypass = 0;
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
    // How hard the whole file's transfer asks past caches: raised when an
    // archive arrived whole but was not the file.
    int cache_bypass = 0;
    // The manifest's "sha256" of the file: when given, the file is current
    // only with this whole digest, whatever its hash text.
    QString expected_sha256;

    // Records stand for files: two records are equal when their names are.
    bool operator==(const FileRecord &other) const { return name == other.name; }
    bool operator!=(const FileRecord &other) const { return !(*this == other); }
};
