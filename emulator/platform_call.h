// One call the guest makes into the core library, as its handler sees it: the arguments where the
// calling convention puts them, the guest's memory behind checked accessors, and the device.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "device.h"
#include "guest_memory.h"

namespace emulator {

// A run the emulated CPU cannot go on with; what() is the one-line report.
struct EmulationFault : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A string argument: a null pointer stays null; text that is not readable up to its terminator
// makes the argument bad.
struct GuestText {
  std::optional<std::u16string> text;  // empty for a null pointer
  LPCWSTR pointer() const { return text ? text->c_str() : nullptr; }
};

class PlatformCall {
 public:
  using FaultReport = std::function<std::string(const std::string& what)>;

  PlatformCall(GuestMemory& memory, device::Device& device, const UnicornEngine& engine,
               std::span<const uint32_t> resourceAddresses, FaultReport report)
      : memory(memory),
        device(device),
        engine_(engine),
        resourceAddresses_(resourceAddresses),
        report_(std::move(report)) {}

  // Argument `index`: r0 to r3, then the words the caller left on its stack.
  uint32_t Argument(int index) const;

  std::optional<GuestText> Text(uint32_t address) const;

  // A pointer argument as a record shows it: NULL, a buffer, or a bad pointer when the routine
  // cannot use it.
  device::Value Pointer(uint32_t address, bool usable) const;
  // A string argument as a record shows it: its text, NULL, or a bad pointer when it is not
  // readable.
  device::Value TextArgument(uint32_t address, const std::optional<GuestText>& text) const;

  // Where the guest sees a string of the image's resources (device::ResourceAddress).
  std::optional<uint32_t> ResourceAddress(size_t entry, size_t offset) const;

  // Records a call refused for a bad pointer, with all its arguments, and gives its result.
  uint32_t Refuse(device::CallRecord call);

  // Ends the run as the device would end the process: the routine itself touched memory the
  // process may not touch.
  [[noreturn]] void AccessViolation(const std::string& what) const;

  GuestMemory& memory;
  device::Device& device;

 private:
  const UnicornEngine& engine_;
  std::span<const uint32_t> resourceAddresses_;  // of the image's resource entries, by index
  FaultReport report_;
};

using Handler = uint32_t (*)(PlatformCall& call);  // returns r0

struct CoreLibraryRoutine {
  std::string_view name;  // as exported; an import by ordinal finds it through the export list
  Handler handler;
};

// The core-library routines the device provides.
std::span<const CoreLibraryRoutine> CoreLibraryRoutines();

}  // namespace emulator
