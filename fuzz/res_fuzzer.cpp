// The .res reader over any bytes: a malformed file is refused with ResFileError; in whatever it
// accepts, string lookups stay inside the entries.
#include <cstddef>
#include <cstdint>
#include <span>

#include "res_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<res::ResourceEntry> entries;
  try {
    entries = res::ReadResFile({data, size}, "fuzz.res");
  } catch (const res::ResFileError&) {
    return 0;
  }
  // The first and last string of a block, the program's reset question, and the last id.
  for (uint32_t id : {0u, 15u, 16u, 5020u, 0xFFFFu, 0xFFFFFFFFu}) {
    const auto location = res::LocateString(entries, id);
    if (location && location->text.size() > 0xFFFF) __builtin_trap();  // a 16-bit length
  }
  return 0;
}
