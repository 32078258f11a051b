// Whole-file reading, and replacing a file so that it holds either its old bytes or all of its
// new ones, for every host tool of the project.
//
// Reading is bounded and refuses anything but a regular file, so a FIFO, a device or a folder
// given by mistake neither blocks the tool nor fills its memory. Replacing follows symbolic links
// to the file they name and keeps the links; it refuses a file without write permission, as an
// editor would.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace fileio {

enum class FileStep { kRead, kTooLarge, kNotRegular, kCreateTemporary, kWrite, kReadOnly };

// A failed file operation: the step that failed, described for a message ("writing
// /x/.device.reg.k3J2ab"), and the system's error. what() is "<description>: <error message>".
struct FileError : std::runtime_error {
  FileError(FileStep step, const std::string& description, std::error_code code);

  FileStep step;
  std::string description;
  std::error_code code;
};

// What ReadWholeFile reads at most unless told otherwise: far above any registry, image or
// resource file the tools are meant for, and small enough for any machine they run on.
inline constexpr size_t kDefaultMaxFileSize = 64 * 1024 * 1024;

// The file's bytes. Throws FileError: kNotRegular for a FIFO, device, socket or folder (checked
// before anything is read, so nothing blocks), kTooLarge past `maxSize` bytes (at most
// `maxSize` + 1 bytes are read), kRead for anything else.
std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& file,
                                   size_t maxSize = kDefaultMaxFileSize);

// The file a replacement of `file` writes: symbolic links followed, each relative to its own
// folder, to the file they name (which need not exist yet).
struct ReplaceTarget {
  std::filesystem::path file;
  uintmax_t hardLinks = 0;  // names the file has now; 0 when it does not exist
};
// Throws FileError (kWrite) for a loop of links.
ReplaceTarget ResolveReplaceTarget(const std::filesystem::path& file);

// Writes `bytes` to a temporary file beside the target (see ResolveReplaceTarget), syncs it and
// renames it over the target, then syncs the folder; a symbolic link to it stays a link. The
// replacement keeps the target's permissions; a new file gets the usual ones (0666 less the
// umask). Other hard links of the target keep the old contents. On failure the target is
// untouched, no temporary is left and FileError is thrown: kReadOnly when the target exists but
// has no write permission (for this user, or for anyone: mode 0444 counts even for root),
// kCreateTemporary when no file could be made beside it, kWrite for any later step.
void ReplaceFile(const std::filesystem::path& file, std::span<const uint8_t> bytes);

}  // namespace fileio
