// How the writer refuses an input: one line that names the file and the problem.
#pragma once

#include <charconv>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace imagewriter {

// An input the image cannot be made from. what() is "<file>: <problem>", on one line.
class ImageError : public std::runtime_error {
 public:
  ImageError(std::string_view file, std::string_view problem)
      : std::runtime_error(std::string(file) + ": " + std::string(problem)) {}
};

// `text` from an input file, made safe to show inside a one-line message: control characters and
// bytes outside printable ASCII appear as \xNN.
inline std::string Printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      static constexpr char kHex[] = "0123456789abcdef";
      out += {'\\', 'x', kHex[c >> 4], kHex[c & 15]};
    }
  }
  return out;
}

// `value` as 0x-prefixed hexadecimal, the way addresses appear in messages.
inline std::string Hex(uint32_t value) {
  char digits[8];
  auto end = std::to_chars(digits, digits + sizeof digits, value, 16).ptr;
  return "0x" + std::string(digits, end);
}

}  // namespace imagewriter
