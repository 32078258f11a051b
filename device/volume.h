// Where a simulated volume keeps its folders and files: in memory (the object store) or in a host
// folder (the storage card). A volume works on paths already split and checked by the file system
// above it; it answers with the platform's error codes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform_errors.h"

namespace device {

// A path inside a volume: its components from the volume's root, each as the volume spells it.
using VolumePath = std::vector<std::u16string>;

enum class EntryKind { kNone, kFile, kFolder, kOther };  // kOther: a link or special file

class Volume {
 public:
  virtual ~Volume() = default;
  // The name of the entry in `folder` that equals `name` ignoring case (the exact spelling first),
  // or nothing. `folder` is a folder that exists.
  virtual std::optional<std::u16string> Find(const VolumePath& folder,
                                             std::u16string_view name) = 0;
  virtual EntryKind Kind(const VolumePath& path) = 0;
  // Each returns ERROR_SUCCESS (0) or the platform's error code; the parent of `path` is a folder.
  virtual LONG MakeFolder(const VolumePath& path) = 0;
  virtual LONG RemoveFolder(const VolumePath& path) = 0;  // an empty folder
  virtual LONG RemoveFile(const VolumePath& path) = 0;
  virtual LONG Rename(const VolumePath& from, const VolumePath& to) = 0;  // `to` does not exist
  // At most `limit` bytes; a longer file is refused.
  virtual LONG Read(const VolumePath& path, size_t limit, std::vector<uint8_t>& bytes) = 0;
  // Replaces the file's contents whole (or makes the file): afterwards it holds either its old
  // bytes or all of these.
  virtual LONG Write(const VolumePath& path, std::span<const uint8_t> bytes) = 0;
};

// The object store: folders and files in memory.
std::unique_ptr<Volume> MakeMemoryVolume(std::span<const std::u16string_view> rootFolders);

// A storage card that cannot be mounted; what() is one line naming the folder.
struct CardError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The host folder `folder` as a card's contents. Nothing outside it is reached: every path is
// walked one folder at a time below it, and a symbolic link, a device or a FIFO on the way or at
// the end is refused, never followed or replaced. Files are replaced atomically (a temporary file
// beside them, synced, renamed over them). Throws CardError when `folder` is not a folder that
// can be opened.
std::unique_ptr<Volume> MakeHostFolderVolume(const std::filesystem::path& folder);

}  // namespace device
