// The emulator's image loader over any bytes: every image it refuses is refused with ImageError
// and a one-line message; whatever it accepts lies inside the image it describes, and each note on
// it is one line; the bytes as linked, when kept, are as many as those relocated. (The entry point
// is the image's own business: the device starts it unchecked.)
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "image_loader.h"

namespace {

bool OneLine(const char* message) {
  return *message != '\0' && !std::strchr(message, '\n');
}

void CheckLoaded(const emulator::LoadedImage& image) {
  const uint64_t end = uint64_t{image.base} + image.sizeOfImage;
  for (const std::string& note : image.notes) {
    if (!OneLine(note.c_str())) __builtin_trap();
  }
  for (const emulator::ImageRegion& region : image.regions) {
    if (region.address < image.base || region.address + uint64_t{region.size} > end) {
      __builtin_trap();
    }
    if (region.bytes.size() > region.size) __builtin_trap();
    if (!region.linkedBytes.empty() && region.linkedBytes.size() != region.bytes.size()) {
      __builtin_trap();
    }
  }
  for (const emulator::ImportBinding& binding : image.imports) {
    if (binding.slotAddress < image.base || binding.slotAddress + uint64_t{4} > end) {
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  try {
    CheckLoaded(emulator::LoadImage({data, size}, "fuzz.exe"));
  } catch (const emulator::ImageError& error) {
    if (!OneLine(error.what())) __builtin_trap();
  }
  return 0;
}
