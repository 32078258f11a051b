#include "file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <utility>

namespace fileio {
namespace {

std::error_code LastError() {
  return {errno, std::system_category()};
}

// What a file that is not a regular file is instead, for the refusal's message.
enum class FileKind { kFolder = 1, kFifo, kCharacterDevice, kBlockDevice, kSocket, kOther };

class FileKindCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "fileio"; }
  std::string message(int kind) const override {
    switch (static_cast<FileKind>(kind)) {
      case FileKind::kFolder:
        return "a folder, not a regular file";
      case FileKind::kFifo:
        return "a FIFO, not a regular file";
      case FileKind::kCharacterDevice:
        return "a character device, not a regular file";
      case FileKind::kBlockDevice:
        return "a block device, not a regular file";
      case FileKind::kSocket:
        return "a socket, not a regular file";
      case FileKind::kOther:
        break;
    }
    return "not a regular file";
  }
};

std::error_code KindError(mode_t mode) {
  static const FileKindCategory category;
  FileKind kind = FileKind::kOther;
  if (S_ISDIR(mode)) kind = FileKind::kFolder;
  if (S_ISFIFO(mode)) kind = FileKind::kFifo;
  if (S_ISCHR(mode)) kind = FileKind::kCharacterDevice;
  if (S_ISBLK(mode)) kind = FileKind::kBlockDevice;
  if (S_ISSOCK(mode)) kind = FileKind::kSocket;
  return {static_cast<int>(kind), category};
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

// Refuses to replace a file its owner protected from writing, or one this user may not write.
void CheckWritable(const std::filesystem::path& target) {
  struct stat status {};
  if (::stat(target.c_str(), &status) != 0) return;  // a new file
  if ((status.st_mode & 0222) != 0 && ::access(target.c_str(), W_OK) == 0) return;
  char mode[8];
  std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
  throw FileError(FileStep::kReadOnly,
                  "replacing " + target.string() + " (mode " + mode + ", no write permission)",
                  std::make_error_code(std::errc::permission_denied));
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
  const std::string description = "reading " + file.string();
  // O_NONBLOCK: opening a FIFO without a writer would wait for one; the check below refuses it.
  FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.IsOpen()) throw FileError(FileStep::kRead, description, LastError());
  struct stat status {};
  if (::fstat(fd.Get(), &status) != 0) throw FileError(FileStep::kRead, description, LastError());
  if (!S_ISREG(status.st_mode)) {
    throw FileError(FileStep::kNotRegular, description, KindError(status.st_mode));
  }
  const auto tooLarge = [&] {
    return FileError(FileStep::kTooLarge, description,
                     std::make_error_code(std::errc::file_too_large));
  };
  if (static_cast<uintmax_t>(status.st_size) > maxSize) throw tooLarge();
  std::vector<uint8_t> bytes;
  bytes.reserve(static_cast<size_t>(status.st_size));
  std::array<uint8_t, 16384> chunk;
  while (true) {
    // One byte past the limit tells a file at the limit from one that grew beyond it.
    const size_t wanted = std::min(chunk.size(), maxSize - bytes.size() + 1);
    const ssize_t count = ::read(fd.Get(), chunk.data(), wanted);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) throw FileError(FileStep::kRead, description, LastError());
    if (count == 0) return bytes;
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + count);
    if (bytes.size() > maxSize) throw tooLarge();
  }
}

ReplaceTarget ResolveReplaceTarget(const std::filesystem::path& file) {
  constexpr int kMaxLinks = 40;  // as the kernel allows in a path
  std::filesystem::path target = file;
  struct stat status {};
  for (int links = 0; ::lstat(target.c_str(), &status) == 0 && S_ISLNK(status.st_mode); ++links) {
    std::error_code error;
    const std::filesystem::path next = std::filesystem::read_symlink(target, error);
    if (links == kMaxLinks) error = std::make_error_code(std::errc::too_many_symbolic_link_levels);
    if (error) throw FileError(FileStep::kWrite, "following the link " + target.string(), error);
    target = next.is_absolute() ? next : FolderOf(target) / next;
  }
  ReplaceTarget result{target, 0};
  if (::stat(target.c_str(), &status) == 0) result.hardLinks = status.st_nlink;
  return result;
}

void ReplaceFile(const std::filesystem::path& file, std::span<const uint8_t> bytes) {
  const std::filesystem::path target = ResolveReplaceTarget(file).file;
  CheckWritable(target);
  TemporaryFile temporary(target);
  temporary.SetMode(ModeFor(target));
  temporary.Write(bytes);
  temporary.ReplaceTarget();
  SyncFolderOf(target);
}

}  // namespace fileio
