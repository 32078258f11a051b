// Writing the image so that the destination is either the complete new image or untouched.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace imagewriter {

// The bytes of input file `path`; throws ImageError naming it when it cannot be read or is larger
// than any input the writer takes.
std::vector<uint8_t> ReadInputFile(const std::string& path);

// Writes `bytes` to `path` by the rule every output follows (fileio::OutputFile): a regular file
// is replaced atomically, keeping its owner and mode; a FIFO or a device is written into, never
// replaced. On any failure no temporary file is left and ImageError names `path`.
void ReplaceFile(const std::string& path, std::span<const uint8_t> bytes);

}  // namespace imagewriter
