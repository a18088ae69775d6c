#pragma once

#include "install/file_download.h"
#include "transfer/file_sink.h"

// A patch (or any file sent uncompressed), saved as file_path as it arrives
// (FileSink). `name`: the file the player's texts name (a patch: its game
// file), by default the file name of file_path.
class PatchDownload : public FileDownload
{
    Q_OBJECT

public:
    PatchDownload(const TransferRequest &request, const QString &file_path,
                  const QString &name = QString());
    ~PatchDownload() override;

private:
    FileSink sink;
};
