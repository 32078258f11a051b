// The registry file reader over any bytes: a file it cannot read is refused with RegFileError;
// whatever it accepts is written back in the form it was read in and reads back to the same
// registry, and the written form is stable.
#include <cstddef>
#include <cstdint>
#include <span>

#include "registry.h"

namespace {

// The form `registry` must read back in once written. A registry with neither header nor keys is
// written without a line, so there is no line end left to carry CR LF; any line end is right then.
device::RegFileFormat WrittenFormat(const device::Registry& registry, bool rereadCrlf) {
  device::RegFileFormat format = registry.Format();
  if (registry.Keys().empty() && format.header == device::RegFileHeader::kNone) {
    format.crlf = rereadCrlf;
  }
  return format;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  device::Registry registry;
  try {
    registry = device::Registry::Parse({data, size}, "fuzz.reg");
  } catch (const device::RegFileError&) {
    return 0;
  }
  const std::vector<uint8_t> written = registry.Serialize();
  const device::Registry reread = device::Registry::Parse(written, "written.reg");
  if (reread.Keys() != registry.Keys()) __builtin_trap();
  if (!(reread.Format() == WrittenFormat(registry, reread.Format().crlf))) __builtin_trap();
  if (reread.Serialize() != written) __builtin_trap();
  return 0;
}
