#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <utility>

namespace fileio {
namespace {

std::error_code LastError() {
  return {errno, std::system_category()};
}

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { Close(); }

  int Get() const { return fd_; }
  bool IsOpen() const { return fd_ >= 0; }
  void Reset(int fd) {
    Close();
    fd_ = fd;
  }
  // Returns 0 or the close error.
  int Close() {
    if (fd_ < 0) return 0;
    return ::close(std::exchange(fd_, -1)) == 0 ? 0 : errno;
  }

 private:
  int fd_;
};

std::filesystem::path FolderOf(const std::filesystem::path& file) {
  return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

// The permissions of the file being replaced, or those an ordinary new file gets.
mode_t ModeFor(const std::filesystem::path& target) {
  struct stat status {};
  if (::stat(target.c_str(), &status) == 0) return status.st_mode & 07777;
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

// A temporary file beside the target, removed unless it was renamed over the target.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::filesystem::path& target) : target_(target) {
    const std::filesystem::path folder = FolderOf(target);
    std::string pattern = (folder / ("." + target.filename().string() + ".XXXXXX")).string();
    fd_.Reset(::mkstemp(pattern.data()));
    if (!fd_.IsOpen()) {
      throw FileError(FileStep::kCreateTemporary, "creating a temporary file in " + folder.string(),
                      LastError());
    }
    path_ = pattern;
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    fd_.Close();
    if (!path_.empty()) ::unlink(path_.c_str());
  }

  // mkstemp makes the file private; the target's permissions are what it should have.
  void SetMode(mode_t mode) {
    if (::fchmod(fd_.Get(), mode) != 0) Fail("setting the mode of " + path_);
  }

  void Write(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
      const ssize_t count = ::write(fd_.Get(), bytes.data(), bytes.size());
      if (count < 0 && errno == EINTR) continue;
      if (count < 0) Fail("writing " + path_);
      bytes = bytes.subspan(static_cast<size_t>(count));
    }
  }

  // Syncs, closes and renames the file over the target.
  void ReplaceTarget() {
    if (::fsync(fd_.Get()) != 0) Fail("syncing " + path_);
    if (const int error = fd_.Close()) {
      throw FileError(FileStep::kWrite, "closing " + path_, {error, std::system_category()});
    }
    if (::rename(path_.c_str(), target_.c_str()) != 0) Fail("renaming " + path_ + " over it");
    path_.clear();
  }

 private:
  [[noreturn]] void Fail(const std::string& what) const {
    throw FileError(FileStep::kWrite, what, LastError());
  }

  FileDescriptor fd_;
  std::filesystem::path target_;
  std::string path_;
};

// So that the rename itself survives a power loss; best effort.
void SyncFolderOf(const std::filesystem::path& file) {
  FileDescriptor fd(::open(FolderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (fd.IsOpen()) ::fsync(fd.Get());
}

}  // namespace

FileError::FileError(FileStep step, const std::string& description, std::error_code code)
    : std::runtime_error(description + ": " + code.message()),
      step(step),
      description(description),
      code(code) {}

std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& file, size_t maxSize) {
  FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.IsOpen()) throw FileError(FileStep::kRead, "reading " + file.string(), LastError());
  std::vector<uint8_t> bytes;
  std::array<uint8_t, 16384> chunk;
  while (true) {
    const ssize_t count = ::read(fd.Get(), chunk.data(), chunk.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) throw FileError(FileStep::kRead, "reading " + file.string(), LastError());
    if (count == 0) return bytes;
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + count);
    if (bytes.size() > maxSize) {
      throw FileError(FileStep::kTooLarge, "reading " + file.string(),
                      std::make_error_code(std::errc::file_too_large));
    }
  }
}

void ReplaceFile(const std::filesystem::path& file, std::span<const uint8_t> bytes) {
  TemporaryFile temporary(file);
  temporary.SetMode(ModeFor(file));
  temporary.Write(bytes);
  temporary.ReplaceTarget();
  SyncFolderOf(file);
}

}  // namespace fileio
