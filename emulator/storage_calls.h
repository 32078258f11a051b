// The core-library routines that read the registry's keys and values and write files.
#pragma once

#include <span>

#include "platform_call.h"

namespace emulator {

std::span<const CoreLibraryRoutine> StorageRoutines();

}  // namespace emulator
