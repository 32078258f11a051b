// The import list: the library the image imports from and the routines it may import, each with
// its export ordinal. A text file:
//
//   # comment
//   library COREDLL.dll
//   KernelIoControl 557
//   ...
#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>

namespace imagewriter {

struct ImportList {
  std::string library;
  std::map<std::string, uint16_t> ordinals;  // routine name -> export ordinal
};

// Parses an import list; throws ImageError naming `fileName` and the line at fault.
ImportList ParseImportList(std::span<const uint8_t> text, const std::string& fileName);

}  // namespace imagewriter
