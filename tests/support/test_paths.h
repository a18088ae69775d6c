#pragma once

#include <QString>

// Folder of the project's built programs (ORVEX_BIN_DIR).
QString bin_dir();
// Root of the source tree (ORVEX_SOURCE_DIR).
QString source_dir();
