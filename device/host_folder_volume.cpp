// A storage card whose contents are a host folder. Every operation starts from the folder's own
// descriptor and opens one folder at a time with O_NOFOLLOW, so no path the program gives reaches
// outside it: there is no "..", no absolute host path and no link to follow. Written by hand over
// the *at() system calls because std::filesystem resolves whole paths and follows links.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include "reg_text.h"
#include "volume.h"

namespace device {
namespace {

class UniqueFd {
 public:
  explicit UniqueFd(int fd = -1) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
    return *this;
  }
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

LONG ErrorFromErrno(int error, LONG notFound) {
  switch (error) {
    case ENOENT:
      return notFound;
    case ENOTDIR:
      return kErrorPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case ELOOP:  // a link, which is not followed
    case EINVAL:
    case EBUSY:
      return kErrorAccessDenied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return kErrorDiskFull;
    case EEXIST:
      return kErrorAlreadyExists;
    case ENOTEMPTY:
      return kErrorDirNotEmpty;
    case ENAMETOOLONG:
      return kErrorFilenameExcedRange;
    default:
      return kErrorGenFailure;
  }
}

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

class HostFolderVolume : public Volume {
 public:
  explicit HostFolderVolume(UniqueFd root) : root_(std::move(root)) {}

  std::optional<std::u16string> Find(const VolumePath& folder, std::u16string_view name) override {
    LONG error = 0;
    UniqueFd fd = OpenFolder(folder.begin(), folder.end(), error);
    if (fd.get() < 0) return std::nullopt;
    DIR* listing = ::fdopendir(fd.get());
    if (listing == nullptr) return std::nullopt;
    fd.release();
    std::optional<std::u16string> found;
    while (const dirent* entry = ::readdir(listing)) {
      const std::string_view hostName = entry->d_name;
      if (hostName == "." || hostName == "..") continue;
      std::u16string entryName;
      try {
        entryName = FromUtf8(hostName);
      } catch (const std::invalid_argument&) {
        continue;  // a name the device could not spell
      }
      if (entryName == name) {
        found = entryName;
        break;
      }
      if (!found && EqualsIgnoringCase(entryName, name)) found = entryName;
    }
    ::closedir(listing);
    return found;
  }

  EntryKind Kind(const VolumePath& path) override {
    if (path.empty()) return EntryKind::kFolder;
    LONG error = 0;
    UniqueFd parent = OpenParent(path, error);
    struct stat status {};
    if (parent.get() < 0 ||
        ::fstatat(parent.get(), Leaf(path).c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) {
      return EntryKind::kNone;
    }
    if (S_ISREG(status.st_mode)) return EntryKind::kFile;
    return S_ISDIR(status.st_mode) ? EntryKind::kFolder : EntryKind::kOther;
  }

  LONG MakeFolder(const VolumePath& path) override {
    return InParent(path, kErrorPathNotFound,
                    [&](int parent) { return ::mkdirat(parent, Leaf(path).c_str(), 0777); });
  }

  LONG RemoveFolder(const VolumePath& path) override {
    if (Kind(path) != EntryKind::kFolder) return kErrorAccessDenied;
    return InParent(path, kErrorFileNotFound, [&](int parent) {
      return ::unlinkat(parent, Leaf(path).c_str(), AT_REMOVEDIR);
    });
  }

  LONG RemoveFile(const VolumePath& path) override {
    if (Kind(path) != EntryKind::kFile) return kErrorAccessDenied;
    return InParent(path, kErrorFileNotFound,
                    [&](int parent) { return ::unlinkat(parent, Leaf(path).c_str(), 0); });
  }

  LONG Rename(const VolumePath& from, const VolumePath& to) override {
    const EntryKind kind = Kind(from);
    if (kind == EntryKind::kNone) return kErrorFileNotFound;
    if (kind == EntryKind::kOther) return kErrorAccessDenied;
    LONG error = 0;
    UniqueFd source = OpenParent(from, error);
    if (source.get() < 0) return error;
    UniqueFd target = OpenParent(to, error);
    if (target.get() < 0) return error;
    // Never over an existing entry, whatever it is.
    if (::renameat2(source.get(), Leaf(from).c_str(), target.get(), Leaf(to).c_str(),
                    RENAME_NOREPLACE) != 0) {
      return ErrorFromErrno(errno, kErrorFileNotFound);
    }
    ::fsync(target.get());
    if (source.get() != target.get()) ::fsync(source.get());
    return 0;
  }

  LONG Read(const VolumePath& path, size_t limit, std::vector<uint8_t>& bytes) override {
    LONG error = 0;
    UniqueFd parent = OpenParent(path, error);
    if (parent.get() < 0) return error;
    UniqueFd file(
        ::openat(parent.get(), Leaf(path).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (file.get() < 0) return ErrorFromErrno(errno, kErrorFileNotFound);
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode) ||
        static_cast<uint64_t>(status.st_size) > limit) {
      return kErrorAccessDenied;
    }
    bytes.assign(static_cast<size_t>(status.st_size), 0);
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t got = ::read(file.get(), bytes.data() + done, bytes.size() - done);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) break;
      done += static_cast<size_t>(got);
    }
    bytes.resize(done);
    return 0;
  }

  LONG Write(const VolumePath& path, std::span<const uint8_t> bytes) override {
    LONG error = 0;
    UniqueFd parent = OpenParent(path, error);
    if (parent.get() < 0) return error;
    const std::string leaf = Leaf(path);
    struct stat status {};
    std::optional<mode_t> mode;  // a new file gets the usual mode, 0666 less the umask
    if (::fstatat(parent.get(), leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
      if (!S_ISREG(status.st_mode)) return kErrorAccessDenied;  // never replaced
      mode = status.st_mode & 07777;
    }
    std::string temporary;
    UniqueFd file = MakeTemporary(parent.get(), mode, temporary);
    if (file.get() < 0) return ErrorFromErrno(errno, kErrorPathNotFound);
    error = WriteAll(file.get(), bytes);
    if (error == 0 && ::fsync(file.get()) != 0) error = ErrorFromErrno(errno, kErrorGenFailure);
    if (error == 0 && ::renameat(parent.get(), temporary.c_str(), parent.get(), leaf.c_str()) != 0)
      error = ErrorFromErrno(errno, kErrorPathNotFound);
    if (error != 0) {
      ::unlinkat(parent.get(), temporary.c_str(), 0);
      return error;
    }
    ::fsync(parent.get());
    return 0;
  }

 private:
  static std::string Leaf(const VolumePath& path) { return ToUtf8(path.back()); }

  // The folder reached by walking `first` to `last` below the card's folder, one component at a
  // time and without following links; -1 with `error` set when a step fails.
  UniqueFd OpenFolder(VolumePath::const_iterator first, VolumePath::const_iterator last,
                      LONG& error) const {
    UniqueFd folder(::openat(root_.get(), ".", kFolderFlags));
    for (; first != last && folder.get() >= 0; ++first) {
      folder = UniqueFd(::openat(folder.get(), ToUtf8(*first).c_str(), kFolderFlags));
    }
    if (folder.get() < 0) error = ErrorFromErrno(errno, kErrorPathNotFound);
    return folder;
  }

  UniqueFd OpenParent(const VolumePath& path, LONG& error) const {
    return OpenFolder(path.begin(), path.end() - 1, error);
  }

  template <typename Operation>
  LONG InParent(const VolumePath& path, LONG notFound, Operation operation) const {
    LONG error = 0;
    UniqueFd parent = OpenParent(path, error);
    if (parent.get() < 0) return error;
    if (operation(parent.get()) != 0) return ErrorFromErrno(errno, notFound);
    ::fsync(parent.get());
    return 0;
  }

  // A new file beside the target, hidden, with a name short enough for any host's NAME_MAX.
  static UniqueFd MakeTemporary(int parent, std::optional<mode_t> mode, std::string& name) {
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
      char text[48];
      std::snprintf(text, sizeof text, ".cesim-%d-%u.tmp", static_cast<int>(::getpid()), counter++);
      UniqueFd file(
          ::openat(parent, text, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
      if (file.get() >= 0) {
        if (mode) ::fchmod(file.get(), *mode);  // the mode the file had, whatever the umask
        name = text;
        return file;
      }
      if (errno != EEXIST) break;
    }
    return UniqueFd();
  }

  static LONG WriteAll(int fd, std::span<const uint8_t> bytes) {
    while (!bytes.empty()) {
      const ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) return ErrorFromErrno(wrote < 0 ? errno : ENOSPC, kErrorGenFailure);
      bytes = bytes.subspan(static_cast<size_t>(wrote));
    }
    return 0;
  }

  UniqueFd root_;
};

}  // namespace

std::unique_ptr<Volume> MakeHostFolderVolume(const std::filesystem::path& folder) {
  UniqueFd root(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC));
  if (root.get() < 0) {
    throw CardError(folder.string() + ": cannot be the card's folder: " + std::strerror(errno));
  }
  return std::make_unique<HostFolderVolume>(std::move(root));
}

}  // namespace device
