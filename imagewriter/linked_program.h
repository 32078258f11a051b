// The linked program as the writer takes it from the ARM ELF executable: its loadable sections,
// its entry point and the import address table that the import thunks jump through.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace imagewriter {

// Where the program's sections may lie: [begin, end).
struct AddressRange {
  uint32_t begin = 0;
  uint32_t end = 0;
};

struct ProgramSection {
  std::string name;
  uint32_t address = 0;
  uint32_t size = 0;
  bool executable = false;
  bool writable = false;
  bool zeroFilled = false;            // takes no file space; the loader fills it with zeros
  std::span<const uint8_t> contents;  // the section's bytes, empty when zeroFilled
};

// One word of the import address table. The thunk for `routine` jumps through it.
struct ImportSlot {
  std::string routine;
  uint32_t address = 0;
};

struct LinkedProgram {
  std::vector<ProgramSection> sections;  // in address order, each starting on a page
  uint32_t entry = 0;
  std::vector<ImportSlot> importSlots;  // adjacent words in address order, followed by a zero word
};

// Reads the linked program from `file` and checks everything the image relies on; throws
// ImageError naming `fileName` otherwise. The sections' contents point into `file`.
LinkedProgram ReadLinkedProgram(std::span<const uint8_t> file, const std::string& fileName,
                                AddressRange image, uint32_t pageSize);

}  // namespace imagewriter
