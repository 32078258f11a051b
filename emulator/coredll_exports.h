// What the device's core library exports: the names and ordinals an image may import from
// COREDLL.dll. The device's loader refuses to start an image importing anything else.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace emulator {

// Whether COREDLL.dll exports a routine of exactly this name (the loader compares
// case-sensitively).
bool CoreLibraryExportsName(std::string_view name);

// The name of the routine exported under `ordinal`, or nothing when no routine has that ordinal.
std::optional<std::string_view> CoreLibraryExportName(uint16_t ordinal);

}  // namespace emulator
