// Loaded into cesim with LD_PRELOAD by the interrupted-save tests. It counts the calls through
// which a file is written and replaced (write, fchmod, fsync, close, rename) and, with
// KILL_AT_CALL=N, kills the process with SIGKILL just before call number N. With CALL_LOG=FILE,
// each call is first appended to FILE as "<name> <descriptor>" (-1 for rename). Every write is cut
// to at most kMaxWrite bytes, as a write may legally be, so that a large file takes many calls.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr size_t kMaxWrite = 128;

// The definition the process would have called without this library.
template <typename Function>
Function* Next(const char* name) {
  return reinterpret_cast<Function*>(dlsym(RTLD_NEXT, name));
}

ssize_t RealWrite(int fd, const void* data, size_t size) {
  static auto* const write = Next<ssize_t(int, const void*, size_t)>("write");
  return write(fd, data, size);
}

class CallCounter {
 public:
  CallCounter() {
    if (const char* at = std::getenv("KILL_AT_CALL")) killAt_ = std::strtol(at, nullptr, 10);
    if (const char* log = std::getenv("CALL_LOG")) {
      logFd_ = ::open(log, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    }
  }

  void Count(const char* name, int fd) {
    const long call = ++calls_;
    if (logFd_ >= 0) {
      char line[64];
      const int length = std::snprintf(line, sizeof line, "%s %d\n", name, fd);
      RealWrite(logFd_, line, static_cast<size_t>(length));
    }
    if (call == killAt_) ::raise(SIGKILL);
  }

 private:
  long killAt_ = 0;
  int logFd_ = -1;
  std::atomic<long> calls_{0};
};

void Count(const char* name, int fd) {
  static CallCounter counter;
  counter.Count(name, fd);
}

}  // namespace

// The C library declares fchmod and rename as not throwing, the others not.
extern "C" {

ssize_t write(int fd, const void* data, size_t size) {
  Count("write", fd);
  return RealWrite(fd, data, std::min(size, kMaxWrite));
}

int fchmod(int fd, mode_t mode) noexcept {
  static auto* const real = Next<int(int, mode_t)>("fchmod");
  Count("fchmod", fd);
  return real(fd, mode);
}

int fsync(int fd) {
  static auto* const real = Next<int(int)>("fsync");
  Count("fsync", fd);
  return real(fd);
}

int close(int fd) {
  static auto* const real = Next<int(int)>("close");
  Count("close", fd);
  return real(fd);
}

int rename(const char* from, const char* to) noexcept {
  static auto* const real = Next<int(const char*, const char*)>("rename");
  Count("rename", -1);
  return real(from, to);
}

}  // extern "C"
