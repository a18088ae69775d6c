#pragma once

#include "install/archive_extractor.h"

#include <QString>

// Decompresses the archive file at archive_path into target_path as the
// launcher installs a file (extract_to_target), without a hash check. The
// archive itself is left in place.
ExtractOutcome extract_archive(const QString &archive_path, const QString &target_path);
