#include "install/patch_download.h"

PatchDownload::PatchDownload(const TransferRequest &request, const QString &file_path,
                             const QString &name)
    : FileDownload(file_path, name), sink(file_path)
{
    fetch_into(request, sink, nullptr);
}

PatchDownload::~PatchDownload() = default;
