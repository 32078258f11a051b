// The device image as the emulator maps it: the loader reads a PE file, checks it the way the
// device's loader would, and gives the regions to map, the import slots to bind, the stack size and
// the resources. It only reads; mapping and running are the caller's.
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

enum Protection : uint32_t { kRead = 1, kWrite = 2, kExecute = 4 };

// One piece of the image as mapped in guest memory.
struct ImageRegion {
  std::string name;      // "headers", or the section name (".text", ...)
  uint32_t address = 0;  // absolute guest address (image base + RVA), page aligned
  uint32_t size = 0;     // mapped size, rounded up to the page
  // Protection bits: always read; write for a writable section, execute for a code section.
  uint32_t protection = 0;
  std::vector<uint8_t> bytes;  // the file's bytes for the start of the region; the rest is zero
};

struct ImportBinding {
  std::string library;              // as the descriptor names it, e.g. "COREDLL.dll"
  std::optional<std::string> name;  // imported by name
  uint16_t ordinal = 0;             // imported by ordinal (when name is empty), or a name's hint
  uint32_t slotAddress = 0;         // absolute address of its import address table slot
};

struct LoadedImage {
  uint32_t base = 0;
  uint32_t sizeOfImage = 0;                   // rounded up to the page
  uint32_t entryAddress = 0;                  // absolute
  uint32_t stackSize = 0;                     // what the kernel reserves for the main thread
  std::vector<ImageRegion> regions;           // headers first, then sections in address order
  std::vector<ImportBinding> imports;         // in descriptor then table order
  std::vector<res::ResourceEntry> resources;  // every leaf of the resource tree, data copied
};

// Text from an image (a section, library or routine name), with every byte that is not printable
// ASCII written as \xNN, so that a message naming it stays on one line.
std::string Printable(std::string_view text);

// Reads and checks `file`; `fileName` is used in messages only. Throws ImageError.
LoadedImage LoadImage(std::span<const uint8_t> file, const std::string& fileName);

}  // namespace emulator
