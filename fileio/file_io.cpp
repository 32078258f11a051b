#include "file_io.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <string_view>
#include <utility>

namespace fileio {
namespace {

std::error_code LastError() {
  return {errno, std::system_category()};
}

// What is wrong with a file beyond what errno says: what it is instead of a regular file, or
// what became of it since it was read.
enum class Problem {
  kFolder = 1,
  kFifo,
  kCharacterDevice,
  kBlockDevice,
  kSocket,
  kOther,
  kNoReader,
  kStalled,
  kDeleted,
  kReplaced,
  kReplacedByLink,
  kChanged,
};

class ProblemCategory : public std::error_category {
 public:
  const char* name() const noexcept override { return "fileio"; }
  std::string message(int problem) const override {
    switch (static_cast<Problem>(problem)) {
      case Problem::kFolder:
        return "a folder, not a regular file";
      case Problem::kFifo:
        return "a FIFO, not a regular file";
      case Problem::kCharacterDevice:
        return "a character device, not a regular file";
      case Problem::kBlockDevice:
        return "a block device, not a regular file";
      case Problem::kSocket:
        return "a socket, not a regular file";
      case Problem::kOther:
        break;
      case Problem::kNoReader:
        return "a FIFO that no process has open for reading";
      case Problem::kStalled:
        return "the reader took nothing for too long";
      case Problem::kDeleted:
        return "it was deleted after it was read, and is not made again";
      case Problem::kReplaced:
        return "it was replaced by another file after it was read";
      case Problem::kReplacedByLink:
        return "it was replaced by a symbolic link after it was read";
      case Problem::kChanged:
        return "it was changed after it was read";
    }
    return "not a regular file";
  }
};

std::error_code ProblemError(Problem problem) {
  static const ProblemCategory category;
  return {static_cast<int>(problem), category};
}

std::error_code KindError(mode_t mode) {
  Problem kind = Problem::kOther;
  if (S_ISDIR(mode)) kind = Problem::kFolder;
  if (S_ISFIFO(mode)) kind = Problem::kFifo;
  if (S_ISCHR(mode)) kind = Problem::kCharacterDevice;
  if (S_ISBLK(mode)) kind = Problem::kBlockDevice;
  if (S_ISSOCK(mode)) kind = Problem::kSocket;
  return ProblemError(kind);
}

std::filesystem::path FolderOf(const std::filesystem::path& file) {
  return file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
}

// The bytes of the open regular file `fd`, whose status is `status`, up to `maxSize`.
std::vector<uint8_t> ReadOpenFile(int fd, const struct stat& status, const std::string& description,
                                  size_t maxSize) {
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
    const ssize_t count = ::read(fd, chunk.data(), wanted);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) throw FileError(FileStep::kRead, description, LastError());
    if (count == 0) return bytes;
    bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + count);
    if (bytes.size() > maxSize) throw tooLarge();
  }
}

// Opens `file` for reading without waiting for anything, and refuses what is not a regular file.
FileDescriptor OpenRegular(const std::filesystem::path& file, const std::string& description,
                           struct stat& status) {
  // O_NONBLOCK: opening a FIFO without a writer would wait for one; the check below refuses it.
  FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.IsOpen()) throw FileError(FileStep::kRead, description, LastError());
  if (::fstat(fd.Get(), &status) != 0) throw FileError(FileStep::kRead, description, LastError());
  if (!S_ISREG(status.st_mode)) {
    throw FileError(FileStep::kNotRegular, description, KindError(status.st_mode));
  }
  return fd;
}

// A digest of bytes that come in pieces: std::hash of each 64 KiB block, combined, so that a
// file is checked block by block without being held whole a second time.
class Digester {
 public:
  void Add(std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
      const size_t taken = std::min(bytes.size(), kBlock - block_.size());
      block_.insert(block_.end(), bytes.begin(), bytes.begin() + static_cast<ptrdiff_t>(taken));
      bytes = bytes.subspan(taken);
      if (block_.size() == kBlock) AddBlock();
    }
  }
  size_t Finish() {
    AddBlock();
    return digest_;
  }

 private:
  static constexpr size_t kBlock = 64 * 1024;
  void AddBlock() {
    const std::string_view text(reinterpret_cast<const char*>(block_.data()), block_.size());
    digest_ = (digest_ * 0x100000001B3) ^ std::hash<std::string_view>{}(text);
    block_.clear();
  }

  std::vector<uint8_t> block_;
  size_t digest_ = 0;
};

size_t Digest(std::span<const uint8_t> bytes) {
  Digester digester;
  digester.Add(bytes);
  return digester.Finish();
}

// The digest of the regular file `file`, read up to `maxSize` bytes; nothing when it cannot be
// read or is longer.
std::optional<size_t> DigestOfFile(const std::filesystem::path& file, uintmax_t maxSize) {
  FileDescriptor fd(::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (!fd.IsOpen()) return std::nullopt;
  Digester digester;
  std::array<uint8_t, 65536> chunk;
  for (uintmax_t total = 0;;) {
    const ssize_t count = ::read(fd.Get(), chunk.data(), chunk.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return std::nullopt;
    if (count == 0) return digester.Finish();
    total += static_cast<uintmax_t>(count);
    if (total > maxSize) return std::nullopt;
    digester.Add(std::span(chunk).first(static_cast<size_t>(count)));
  }
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

// The temporary file's name beside `target`: hidden, named after it, and never ending as the
// target does. A long name is cut (at a character, not inside one) so that the temporary's name
// fits in NAME_MAX where the target's just did.
std::string TemporaryPattern(const std::filesystem::path& target) {
  const std::filesystem::path folder = FolderOf(target);
  constexpr std::string_view kSuffix = ".XXXXXX";
  long nameMax = ::pathconf(folder.c_str(), _PC_NAME_MAX);
  if (nameMax <= 0) nameMax = NAME_MAX;
  const size_t room = static_cast<size_t>(nameMax) - 1 - kSuffix.size();
  std::string name = target.filename().string();
  if (name.size() > room) {
    size_t cut = room;
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  return (folder / ("." + name + std::string(kSuffix))).string();
}

// Waits until `fd` takes more bytes, at most `wait`; false when it did not.
bool WaitToWrite(int fd, std::chrono::milliseconds wait) {
  pollfd ready{fd, POLLOUT, 0};
  const auto deadline = std::chrono::steady_clock::now() + wait;
  while (true) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    const int count = ::poll(&ready, 1, static_cast<int>(std::max<int64_t>(left.count(), 0)));
    if (count < 0 && errno == EINTR) continue;
    return count > 0;
  }
}

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

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) Reset(other.Release());
  return *this;
}

int FileDescriptor::Close() {
  if (fd_ < 0) return 0;
  return ::close(std::exchange(fd_, -1)) == 0 ? 0 : errno;
}

std::vector<uint8_t> ReadWholeFile(const std::filesystem::path& file, size_t maxSize) {
  const std::string description = "reading " + file.string();
  struct stat status {};
  FileDescriptor fd = OpenRegular(file, description, status);
  return ReadOpenFile(fd.Get(), status, description, maxSize);
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

LockedFile::LockedFile(const std::filesystem::path& file, size_t maxSize,
                       const std::function<void()>& waiting) {
  const std::string description = "reading " + file.string();
  struct stat status {};
  for (bool told = false;;) {
    fd_ = OpenRegular(file, description, status);
    if (::flock(fd_.Get(), LOCK_EX | LOCK_NB) != 0) {
      if (errno != EWOULDBLOCK)
        throw FileError(FileStep::kRead, "locking " + file.string(), LastError());
      if (!told && waiting) waiting();
      told = true;
      while (::flock(fd_.Get(), LOCK_EX) != 0) {
        if (errno != EINTR)
          throw FileError(FileStep::kRead, "locking " + file.string(), LastError());
      }
    }
    // The run that held the lock may have replaced the file: the lock must be the new one's.
    struct stat named {};
    if (::stat(file.c_str(), &named) != 0)
      throw FileError(FileStep::kRead, description, LastError());
    if (named.st_dev == status.st_dev && named.st_ino == status.st_ino) break;
  }
  if (::fstat(fd_.Get(), &status) != 0) throw FileError(FileStep::kRead, description, LastError());
  bytes_ = ReadOpenFile(fd_.Get(), status, description, maxSize);
  identity_ = FileIdentity{ResolveReplaceTarget(file).file,        status.st_dev,  status.st_ino,
                           static_cast<uintmax_t>(status.st_size), status.st_mtim, Digest(bytes_)};
}

OutputFile::OutputFile(const std::filesystem::path& file, const OutputOptions& options)
    : options_(options), description_("writing " + file.string()) {
  // The name as the kernel follows it decides what it is: a name such as /dev/stderr leads
  // through links that only the kernel can follow.
  struct stat status {};
  const bool exists = ::stat(file.c_str(), &status) == 0;
  if (!exists && errno != ENOENT) Fail(description_);
  if (exists && !S_ISREG(status.st_mode)) {
    if (options_.unchangedSince) CheckUnchanged();
    if (!S_ISFIFO(status.st_mode) && !S_ISCHR(status.st_mode)) {
      throw FileError(FileStep::kNotRegular, description_, KindError(status.st_mode));
    }
    target_ = {file, status.st_nlink};
    OpenStream(status.st_mode);
    return;
  }
  target_ = ResolveReplaceTarget(file);
  if (!exists && options_.unchangedSince) CheckUnchanged();
  CheckWritable(target_.file);
  const mode_t mode = ModeFor(target_.file);
  temporary_.path = TemporaryPattern(target_.file);
  fd_.Reset(::mkstemp(temporary_.path.data()));
  if (!fd_.IsOpen()) {
    temporary_.path.clear();
    throw FileError(FileStep::kCreateTemporary,
                    "creating a temporary file in " + FolderOf(target_.file).string(), LastError());
  }
  description_ = "writing " + temporary_.path;
  // The owner first: changing it clears the set-user-ID and set-group-ID bits the mode restores.
  struct stat made {};
  if (exists && ::fstat(fd_.Get(), &made) == 0 &&
      (made.st_uid != status.st_uid || made.st_gid != status.st_gid) &&
      ::fchown(fd_.Get(), status.st_uid, status.st_gid) != 0) {
    throw FileError(FileStep::kOwnership,
                    "keeping the owner of " + target_.file.string() + " (user " +
                        std::to_string(status.st_uid) + ", group " + std::to_string(status.st_gid) +
                        ")",
                    LastError());
  }
  // mkstemp makes the file private; the target's permissions are what it should have.
  if (::fchmod(fd_.Get(), mode) != 0) Fail("setting the mode of " + temporary_.path);
}

OutputFile::~OutputFile() = default;

OutputFile::Temporary::~Temporary() {
  if (!path.empty()) ::unlink(path.c_str());
}

void OutputFile::OpenStream(mode_t mode) {
  streamed_ = true;
  // O_NONBLOCK: a FIFO nobody reads is refused at once instead of waiting for a reader, and a
  // reader that stops taking data cannot hold the writer for ever (see Write).
  fd_.Reset(::open(target_.file.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (fd_.IsOpen()) return;
  if (errno == ENXIO && S_ISFIFO(mode)) {
    throw FileError(FileStep::kNotRegular, description_, ProblemError(Problem::kNoReader));
  }
  Fail(description_);
}

void OutputFile::Write(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t count = ::write(fd_.Get(), bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && errno == EAGAIN && streamed_) {
      if (WaitToWrite(fd_.Get(), options_.streamWait)) continue;
      throw FileError(FileStep::kWrite, description_, ProblemError(Problem::kStalled));
    }
    if (count < 0) Fail(description_);
    bytes = bytes.subspan(static_cast<size_t>(count));
  }
}

void OutputFile::Commit() {
  if (streamed_) {
    if (const int error = fd_.Close()) {
      throw FileError(FileStep::kWrite, description_, {error, std::system_category()});
    }
    return;
  }
  if (::fsync(fd_.Get()) != 0) Fail("syncing " + temporary_.path);
  if (const int error = fd_.Close()) {
    throw FileError(FileStep::kWrite, "closing " + temporary_.path,
                    {error, std::system_category()});
  }
  if (options_.unchangedSince) CheckUnchanged();
  // Whatever took the name since it was looked at, only a regular file is ever replaced.
  struct stat status {};
  if (::lstat(target_.file.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
    throw FileError(FileStep::kNotRegular, "replacing " + target_.file.string(),
                    KindError(status.st_mode));
  }
  if (::rename(temporary_.path.c_str(), target_.file.c_str()) != 0) {
    Fail("renaming " + temporary_.path + " over it");
  }
  temporary_.path.clear();
  SyncFolderOf(target_.file);
}

void OutputFile::CheckUnchanged() const {
  const FileIdentity& read = *options_.unchangedSince;
  const auto changed = [&](Problem problem) {
    return FileError(FileStep::kChanged, "replacing " + read.file.string(), ProblemError(problem));
  };
  struct stat status {};
  if (::lstat(read.file.c_str(), &status) != 0) {
    if (errno == ENOENT) throw changed(Problem::kDeleted);
    Fail("looking at " + read.file.string());
  }
  if (S_ISLNK(status.st_mode)) throw changed(Problem::kReplacedByLink);
  if (!S_ISREG(status.st_mode) || status.st_dev != read.device || status.st_ino != read.inode ||
      (!target_.file.empty() && target_.file != read.file)) {
    throw changed(Problem::kReplaced);
  }
  if (static_cast<uintmax_t>(status.st_size) != read.size ||
      status.st_mtim.tv_sec != read.modified.tv_sec ||
      status.st_mtim.tv_nsec != read.modified.tv_nsec) {
    throw changed(Problem::kChanged);
  }
  if (DigestOfFile(read.file, read.size) != read.digest) throw changed(Problem::kChanged);
}

void OutputFile::Fail(const std::string& what) const {
  throw FileError(FileStep::kWrite, what, LastError());
}

void ReplaceFile(const std::filesystem::path& file, std::span<const uint8_t> bytes,
                 const OutputOptions& options) {
  OutputFile output(file, options);
  output.Write(bytes);
  output.Commit();
}

bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
  struct stat first {
  }, second{};
  const bool firstExists = ::stat(a.c_str(), &first) == 0;
  const bool secondExists = ::stat(b.c_str(), &second) == 0;
  if (firstExists || secondExists) {
    return firstExists && secondExists && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
  }
  try {
    std::error_code error;
    const auto place = [&](const std::filesystem::path& file) {
      return std::filesystem::weakly_canonical(
          std::filesystem::absolute(ResolveReplaceTarget(file).file), error);
    };
    return place(a) == place(b) && !error;
  } catch (const FileError&) {
    return false;  // a loop of links names no file
  }
}

}  // namespace fileio
