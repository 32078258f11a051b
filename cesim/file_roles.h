// The files a run names, each read, written or both, and the check that no output names a file
// the run reads or another output: that would destroy the input, or one output the other.
#pragma once

#include "options.h"

namespace cesim {

// Throws InputError, before anything is read or written, when an output (--registry, which is
// saved, --trace-file, --coverage) names the same file as an input (--registry, --rom-block,
// --image, the image's symbols) or another output, links followed.
void CheckOutputsAreDistinct(const Options& options);

}  // namespace cesim
