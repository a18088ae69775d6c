#pragma once

#include "patch_result.h"

#include <string>

// Applies the patch at patch_path to target_path in place. The target must
// have the patch's source hash; the result must have its result hash. The
// result goes to a temporary file beside the target that replaces it only on
// success, so a failure leaves the target as it was. Paths are in the
// system's own encoding. Needs neither Qt nor what makes patches, so the
// patch program that runs it starts at once.
PatchResult apply_patch_file(const std::string &patch_path, const std::string &target_path);
