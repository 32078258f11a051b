#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "image_error.h"

namespace imagewriter {
namespace {

// Far above any linked program, resource file or import list the writer is meant for.
constexpr size_t kMaxInputSize = 64 * 1024 * 1024;

[[noreturn]] void FailWithErrno(const std::string& path, const std::string& what) {
  throw ImageError(path, what + ": " + std::strerror(errno));
}

// A temporary file that is removed when it goes out of scope, unless it was renamed.
class TemporaryFile {
 public:
  explicit TemporaryFile(const std::string& destination) : path_(destination + ".partial-XXXXXX") {
    descriptor_ = mkstemp(path_.data());
    if (descriptor_ < 0) FailWithErrno(destination, "cannot create a file beside it");
  }
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;
  ~TemporaryFile() {
    if (descriptor_ >= 0) close(descriptor_);
    if (!renamed_) unlink(path_.c_str());
  }

  int Descriptor() const { return descriptor_; }

  // Closes the file and gives it the name `destination`.
  bool CloseAndRename(const std::string& destination) {
    int descriptor = descriptor_;
    descriptor_ = -1;
    if (close(descriptor) != 0 || rename(path_.c_str(), destination.c_str()) != 0) return false;
    renamed_ = true;
    return true;
  }

 private:
  std::string path_;
  int descriptor_ = -1;
  bool renamed_ = false;
};

// The permissions an ordinary new file gets: mkstemp makes the temporary file private.
mode_t NewFileMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

std::vector<uint8_t> ReadInputFile(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) FailWithErrno(path, "cannot read");
  std::vector<uint8_t> bytes;
  uint8_t block[65536];
  while (size_t count = std::fread(block, 1, sizeof block, file.get())) {
    bytes.insert(bytes.end(), block, block + count);
    if (bytes.size() > kMaxInputSize) throw ImageError(path, "larger than 64 MiB");
  }
  if (std::ferror(file.get())) FailWithErrno(path, "cannot read");
  return bytes;
}

void ReplaceFile(const std::string& path, std::span<const uint8_t> bytes) {
  TemporaryFile temporary(path);
  if (fchmod(temporary.Descriptor(), NewFileMode()) != 0) FailWithErrno(path, "cannot write");
  while (!bytes.empty()) {
    ssize_t written = write(temporary.Descriptor(), bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) FailWithErrno(path, "cannot write");
    bytes = bytes.subspan(static_cast<size_t>(written));
  }
  if (!temporary.CloseAndRename(path)) FailWithErrno(path, "cannot write");
}

}  // namespace imagewriter
