// The device's file system as the file routines see it: the object store in memory, and the
// storage card mounted as a folder of the root. Paths are the platform's (`\Storage Card\x.bin`);
// every check the platform makes on them and on the routines' arguments is made here, and each
// routine answers with the platform's error code (0 for success).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "volume.h"

namespace device {

// CreateFileW's arguments, as the platform spells them.
inline constexpr DWORD kGenericRead = 0x80000000;
inline constexpr DWORD kGenericWrite = 0x40000000;
inline constexpr DWORD kFileShareRead = 1;
inline constexpr DWORD kFileShareWrite = 2;
inline constexpr DWORD kCreateNew = 1;
inline constexpr DWORD kCreateAlways = 2;
inline constexpr DWORD kOpenExisting = 3;
inline constexpr DWORD kOpenAlways = 4;
inline constexpr DWORD kTruncateExisting = 5;
inline constexpr DWORD kFileAttributeNormal = 0x80;

inline constexpr size_t kMaxPathUnits = 260;  // MAX_PATH, the terminator included
inline constexpr size_t kMaxNameUnits = 255;  // one component of a path

// What a run may add to a volume: a card's free space, the object store's room in memory. A full
// card has room for a little, so that a program gets as far as its first large file.
inline constexpr uint64_t kCardFreeBytes = 64 * 1024 * 1024;
inline constexpr uint64_t kFullCardFreeBytes = 4096;
inline constexpr uint64_t kObjectStoreFreeBytes = 16 * 1024 * 1024;

// A file a run wrote, as it stands at the end: its path on the device and its size.
struct WrittenFile {
  std::u16string path;
  uint64_t size = 0;
  bool onCard = false;

  bool operator==(const WrittenFile&) const = default;
};

// The card's folder, as the storage manager mounts it, with the faults a run may give it.
struct MountedCard {
  std::unique_ptr<Volume> volume;
  std::u16string folder;  // the root folder it is mounted as, "Storage Card"
  bool full = false;      // room for kFullCardFreeBytes only
  bool readOnly = false;  // locked for reading: every change is refused
};

class FileSystem {
 public:
  explicit FileSystem(std::optional<MountedCard> card);
  FileSystem(FileSystem&&) = default;
  FileSystem& operator=(FileSystem&&) = default;

  LONG CreateDirectory(std::u16string_view path);
  LONG RemoveDirectory(std::u16string_view path);
  LONG DeleteFile(std::u16string_view path);
  LONG MoveFile(std::u16string_view from, std::u16string_view to);
  // On success `handle` is the new file handle and `existed` whether the file was there before.
  LONG CreateFile(std::u16string_view path, DWORD access, DWORD share, DWORD disposition,
                  DWORD flagsAndAttributes, uint32_t handle, bool& existed);
  // Writes what fits; `written` is what was written. `data` may be null only for `size` 0.
  LONG WriteFile(uint32_t handle, const uint8_t* data, DWORD size, DWORD& written);
  // Commits the file's contents to its volume.
  LONG CloseFile(uint32_t handle);
  bool IsOpenFile(uint32_t handle) const { return open_.contains(handle); }
  // Closes every file left open, as the end of the process does; the number closed.
  size_t CloseAll();

  // The files written in this run that still exist, in the order they were first written.
  const std::vector<WrittenFile>& Written() const { return written_; }
  // The root folder the card is mounted as; nothing without a card.
  std::optional<std::u16string> CardFolder() const;

 private:
  struct Located;
  struct OpenFile {
    Volume* volume = nullptr;
    VolumePath path;
    std::u16string devicePath;
    DWORD access = 0, share = 0;
    std::vector<uint8_t> bytes;
    size_t position = 0;
    bool changed = false;
  };
  struct VolumeState {
    std::unique_ptr<Volume> volume;
    std::u16string folder;  // empty for the object store
    uint64_t freeBytes = 0;
    bool readOnly = false;
  };

  LONG Locate(std::u16string_view path, Located& located);
  bool IsOpen(const Volume* volume, const VolumePath& path, bool orBelow) const;
  void NoteWritten(const OpenFile& file);
  void NoteMoved(std::u16string_view from, std::u16string_view to);
  void NoteDeleted(std::u16string_view path);

  std::vector<VolumeState> volumes_;  // the object store, then the card
  std::map<uint32_t, OpenFile> open_;
  std::vector<WrittenFile> written_;
};

}  // namespace device
