#include "checked_output.h"

#include <unistd.h>

#include <cerrno>

namespace cesim {

bool CheckedOutput::Flush() {
  const char* next = pbase();
  while (!error_ && next < pptr()) {
    const ssize_t count = ::write(fd_, next, static_cast<size_t>(pptr() - next));
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) error_ = {errno, std::system_category()};
    if (count > 0) next += count;
  }
  setp(buffer_.data(), buffer_.data() + buffer_.size());
  return !error_;
}

CheckedOutput::int_type CheckedOutput::overflow(int_type c) {
  Flush();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

}  // namespace cesim
