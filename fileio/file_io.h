// Whole-file reading, and replacing a file so that it holds either its old bytes or all of its
// new ones, for every host tool of the project.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace fileio {

enum class FileStep { kRead, kTooLarge, kCreateTemporary, kWrite };

// A failed file operation: the step that failed, described for a message ("writing
// /x/.device.reg.k3J2ab"), and the system's error. what() is "<description>: <error message>".
struct FileError : std::runtime_error {
  FileError(FileStep step, const std::string& description, std::error_code code);

  FileStep step;
  std::string description;
  std::error_code code;
};

// The file's bytes. Throws FileError: kRead, or kTooLarge past `maxSize` bytes.
std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& file,
                                   size_t maxSize = std::numeric_limits<size_t>::max());

// Writes `bytes` to a temporary file beside `file`, syncs it and renames it over `file`, then syncs
// the folder. A replaced file keeps its permissions; a new one gets the usual ones (0666 less the
// umask). On failure `file` is untouched, no temporary is left and FileError is thrown:
// kCreateTemporary when no file could be made beside it, kWrite for any later step.
void ReplaceFile(const std::filesystem::path& file, std::span<const uint8_t> bytes);

}  // namespace fileio
