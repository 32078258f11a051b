// The device image as the emulator maps it: the loader reads a PE file, checks it the way the
// device's loader would, moves and relocates it where the device would, and gives the regions to
// map, the import slots to bind, the stack size, the resources and the notes on what the device
// lets pass. It only reads; mapping and running are the caller's.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "res_file.h"

namespace emulator {

// An image the loader refuses; what() is one line: "<file>: <field or structure>: <what is wrong>".
struct ImageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Images end below this address: the emulator keeps the main thread's stack above it. (The
// device's process slot is 32 MB; no image this program family makes comes near either limit.)
constexpr uint32_t kImageLimit = 0x00F00000;

enum Protection : uint32_t { kRead = 1, kWrite = 2, kExecute = 4 };

// One piece of the image as mapped in guest memory.
struct ImageRegion {
  std::string name;      // the section name (".text", ...); the headers are not mapped
  uint32_t address = 0;  // absolute guest address (image base + RVA), page aligned
  uint32_t size = 0;     // mapped size, rounded up to the page
  // Protection bits: always read; write for a writable section (or one holding the import
  // address table), execute for a code section.
  uint32_t protection = 0;
  std::vector<uint8_t> bytes;  // the file's bytes for the start of the region; the rest is zero
  // The same bytes as linked, for the preferred base, when base relocations changed `bytes`;
  // else empty.
  std::vector<uint8_t> linkedBytes;
};

struct ImportBinding {
  std::string library;              // as the descriptor names it, e.g. "COREDLL.dll"
  std::optional<std::string> name;  // imported by name
  uint16_t ordinal = 0;             // imported by ordinal (when name is empty), or a name's hint
  uint32_t slotAddress = 0;         // absolute address of its import address table slot
  bool slotMapped = true;           // false when the slot's section is discarded after binding
};

struct LoadedImage {
  uint32_t base = 0;                          // where the device loads it, after relocation
  uint32_t preferredBase = 0;                 // ImageBase: where it was linked for
  uint32_t sizeOfImage = 0;                   // rounded up to the page
  uint32_t entryAddress = 0;                  // absolute
  uint32_t stackSize = 0;                     // what the kernel reserves for the main thread
  std::vector<ImageRegion> regions;           // sections in address order, the discarded left out
  std::vector<ImportBinding> imports;         // in descriptor then table order
  std::vector<res::ResourceEntry> resources;  // every leaf of the resource tree, data copied
  std::vector<uint32_t> resourceRvas;         // where each entry's data lies, by index
  // What the device lets pass although it almost certainly means a broken image, one line each:
  // "<file>: <field>: <what the device does>".
  std::vector<std::string> notes;
};

// The one library the device's images may import from.
constexpr std::string_view kCoreLibraryName = "COREDLL.dll";

// Library names compare without regard to ASCII case, as file names do on the device. The bytes
// are the image's own and need not be text.
bool IsCoreLibraryName(std::string_view library);

// Reads and checks `file`; `fileName` is used in messages only. Throws ImageError for an image the
// device would not start (or that does not fit the emulator's address space).
LoadedImage LoadImage(std::span<const uint8_t> file, const std::string& fileName);

}  // namespace emulator
