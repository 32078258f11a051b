// Base relocations as the device's loader applies them when it moves an image from its preferred
// base to where it loads it.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace emulator {

struct RelocationTarget {
  uint32_t rva = 0;
  uint32_t size = 0;
};

// Applies the relocation blocks in [directoryRva, directoryRva + directorySize) of `image` (the
// image as mapped, from RVA 0), adding `delta` to every address they name. `insideSections` says
// whether a range lies in the image's sections. A malformed block calls `fail(field, problem)`,
// which must not return; a fixup type the device ignores is only reported, as `note(field, what)`.
void ApplyBaseRelocations(std::span<uint8_t> image, uint32_t directoryRva, uint32_t directorySize,
                          uint32_t delta,
                          const std::function<bool(uint64_t rva, uint64_t size)>& insideSections,
                          const std::function<void(const std::string&, const std::string&)>& fail,
                          const std::function<void(const std::string&, const std::string&)>& note);

}  // namespace emulator
