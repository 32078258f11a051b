// Output to a file descriptor that remembers the first failure, so that a run whose output is
// lost (a closed pipe, a full disk) still completes, and is reported afterwards, as the standard
// tools do.
#pragma once

#include <array>
#include <streambuf>
#include <string>
#include <system_error>

namespace cesim {

class CheckedOutput : public std::streambuf {
 public:
  explicit CheckedOutput(int fd) : fd_(fd) {
    setp(buffer_.data(), buffer_.data() + buffer_.size());
  }
  CheckedOutput(const CheckedOutput&) = delete;
  CheckedOutput& operator=(const CheckedOutput&) = delete;

  // Writes what is buffered; the first error, if any, is kept and later output is dropped.
  bool Flush();
  // The first write error, or none.
  const std::error_code& error() const { return error_; }

 protected:
  int_type overflow(int_type c) override;
  int sync() override { return Flush() ? 0 : -1; }

 private:
  int fd_;
  std::error_code error_;
  std::array<char, 8192> buffer_;
};

}  // namespace cesim
