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

// How a patch is applied when more is asked than the plain in-place form.
struct PatchBounds
{
    // The largest result accepted, in bytes; a patch that would make more is
    // refused before anything is allocated or written. < 0: no bound.
    long long max_result_size = -1;
    // Where the result goes (replaced in one step); empty: over the source.
    std::string output_path;
};

// Applies the patch to source_path, its result written to bounds.output_path
// (or over the source) and no larger than bounds.max_result_size. The source
// is never written when an output path is given.
PatchResult apply_patch_file(const std::string &patch_path, const std::string &source_path,
                             const PatchBounds &bounds);
