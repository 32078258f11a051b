// Whole-file reading, and writing an output file so that nothing it names is destroyed, for
// every host tool of the project.
//
// Reading is bounded and refuses anything but a regular file, so a FIFO, a device or a folder
// given by mistake neither blocks the tool nor fills its memory.
//
// Every output follows one rule (OutputFile):
// - a regular file, or a name that does not exist yet, is replaced atomically: the bytes go to a
//   temporary file beside it, which is synced and renamed over it, so it holds either its old
//   bytes or all of its new ones. Symbolic links are followed to the file they name and stay
//   links; the replacement keeps the file's owner, group and mode, and a file whose owner cannot
//   be kept, or that has no write permission, is refused as an editor would;
// - a FIFO or a character device is written into as a stream, as a shell's `>` does, never
//   replaced: a FIFO that no process reads is refused at once, and a reader that takes nothing
//   for a while ends the writing with an error instead of a hang;
// - anything else (a folder, a block device, a socket) is refused.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace fileio {

enum class FileStep {
  kRead,
  kTooLarge,
  kNotRegular,
  kCreateTemporary,
  kWrite,
  kReadOnly,
  kOwnership,  // the replacement could not be given the file's owner and group
  kChanged,    // the file is no longer the one read (see OutputOptions::unchangedSince)
};

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

// An open file descriptor, closed with the object.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.Release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { Close(); }

  int Get() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }
  void Reset(int fd) {
    Close();
    fd_ = fd;
  }
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Returns 0 or the close error.
  int Close();

 private:
  int fd_;
};

// The file a replacement of `file` writes: symbolic links followed, each relative to its own
// folder, to the file they name (which need not exist yet).
struct ReplaceTarget {
  std::filesystem::path file;
  uintmax_t hardLinks = 0;  // names the file has now; 0 when it does not exist
};
// Throws FileError (kWrite) for a loop of links.
ReplaceTarget ResolveReplaceTarget(const std::filesystem::path& file);

// A regular file as it was read: which file it was and what it held.
struct FileIdentity {
  std::filesystem::path file;  // the file read, links resolved (see ResolveReplaceTarget)
  dev_t device = 0;
  ino_t inode = 0;
  uintmax_t size = 0;
  timespec modified{};
  // A hash of the bytes (std::hash of each 64 KiB, combined): it tells another writer's edit
  // that kept the size and the time stamp, which is all it must do (the lock keeps cooperating
  // writers apart, and no adversary is guarded against), so no cryptographic library is needed.
  size_t digest = 0;
};

// A regular file held open under an exclusive advisory lock (flock(2) on the file itself, which
// other processes that lock it the same way respect) from reading until the object ends, and
// read whole. Each process that reads, changes and saves one file this way waits for the one
// before it, so no change is lost between them.
class LockedFile {
 public:
  // Opens `file` (links followed), takes the lock, calling `waiting` once first when another
  // process holds it, and reads it up to `maxSize` bytes. A file replaced while it was waited
  // for is opened again, so the lock and the bytes are the file's that the name leads to. Throws
  // FileError as ReadWholeFile does.
  LockedFile(const std::filesystem::path& file, size_t maxSize,
             const std::function<void()>& waiting = {});

  // The bytes read; moved out, so called once.
  std::vector<uint8_t> TakeBytes() { return std::move(bytes_); }
  const FileIdentity& identity() const { return identity_; }

 private:
  FileDescriptor fd_;
  std::vector<uint8_t> bytes_;
  FileIdentity identity_;
};

// How an output file is written.
struct OutputOptions {
  // When set, the regular file is replaced only if it is still this one, unchanged: same file,
  // size, modification time and digest, checked just before the rename. Else nothing is written
  // and FileError kChanged says what became of it; a deleted file is not recreated.
  const FileIdentity* unchangedSince = nullptr;
  // How long a stream's reader may take nothing before writing fails.
  std::chrono::milliseconds streamWait = std::chrono::seconds(10);
};

// An output written by the rule at the top of this file: Write as often as needed, then Commit.
// Destroyed without Commit, a replacement leaves the target untouched and no temporary file.
class OutputFile {
 public:
  // Decides how `file` is written and prepares it. Throws FileError: kReadOnly for a regular file
  // without write permission (for this user, or for anyone: mode 0444 counts even for root),
  // kNotRegular for what is neither replaced nor streamed into, and for a FIFO nobody reads,
  // kOwnership when the replacement cannot get the file's owner and group, kCreateTemporary when
  // no file can be made beside it, kChanged (see OutputOptions), kWrite for anything else.
  explicit OutputFile(const std::filesystem::path& file, const OutputOptions& options = {});
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Throws FileError kWrite.
  void Write(std::span<const uint8_t> bytes);
  // A replacement: syncs the temporary file, checks the target (unchangedSince) and renames it
  // over the target, then syncs the folder. A stream: closes it. Throws FileError.
  void Commit();

  // True when the output is a FIFO or a device written into, not a file replaced.
  bool streamed() const { return streamed_; }
  // The file written: links resolved, as ResolveReplaceTarget found it before anything was
  // written (its hard links counted then).
  const ReplaceTarget& target() const { return target_; }

 private:
  void OpenStream(mode_t mode);
  void CheckUnchanged() const;
  [[noreturn]] void Fail(const std::string& what) const;

  OutputOptions options_;
  ReplaceTarget target_;
  bool streamed_ = false;
  FileDescriptor fd_;
  // The temporary file's path until it is renamed; removed with the object before that, also
  // when the constructor fails.
  struct Temporary {
    std::string path;
    Temporary() = default;
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    ~Temporary();
  } temporary_;
  std::string description_;
};

// Writes `bytes` to `file` by the rule above, all at once (OutputFile).
void ReplaceFile(const std::filesystem::path& file, std::span<const uint8_t> bytes,
                 const OutputOptions& options = {});

// Whether two names lead to one file: the same device and inode, links followed, or, for names
// that do not exist yet, the same place once links and "." and ".." are resolved.
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

}  // namespace fileio
