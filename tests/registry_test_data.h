// Registry file bytes and stored values, as the registry tests write them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "registry.h"

namespace device {

inline std::vector<uint8_t> Bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

// A text value's stored bytes: UTF-16LE with the terminator.
inline std::vector<uint8_t> Sz(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  for (char16_t unit : std::u16string(text) + u'\0') {
    bytes.push_back(static_cast<uint8_t>(unit));
    bytes.push_back(static_cast<uint8_t>(unit >> 8));
  }
  return bytes;
}

// Why the file is refused, or "(accepted)".
inline std::string ParseError(const std::vector<uint8_t>& bytes,
                              const std::string& fileName = "state.reg") {
  try {
    Registry::Parse(bytes, fileName);
  } catch (const RegFileError& error) {
    return error.what();
  }
  return "(accepted)";
}

}  // namespace device
