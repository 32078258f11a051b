// Lays out and writes the device image: a PE32 executable for Windows CE 4.20 on ARM.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "import_list.h"
#include "linked_program.h"
#include "res_file.h"

namespace imagewriter {

// The image's fixed facts, as the device's loader reads them.
inline constexpr uint32_t kImageBase = 0x00010000;  // an EXE without relocations loads here
inline constexpr uint32_t kSectionAlignment =
    0x1000;  // the loader pages each section from its start
inline constexpr uint32_t kFileAlignment = 0x200;
// A process owns a 32 MiB slot of the address space; the image lies in it after the headers' page.
inline constexpr uint32_t kImageEnd = 0x02000000;
inline constexpr AddressRange kProgramRange{kImageBase + kSectionAlignment, kImageEnd};

struct ImageInputs {
  std::string programFile;
  std::string resourceFile;
  std::string importListFile;
  LinkedProgram program;
  std::vector<res::ResourceEntry> resources;
  ImportList imports;
  uint32_t timeStamp = 0;
};

// The image's bytes. Throws ImageError when the inputs, each valid alone, do not fit together.
std::vector<uint8_t> WriteImage(const ImageInputs& inputs);

}  // namespace imagewriter
