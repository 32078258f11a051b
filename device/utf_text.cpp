#include "utf_text.h"

#include <utf8.h>

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace device {

std::optional<size_t> FindLoneSurrogate(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      ++i;
    } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
      return i;
    }
  }
  return std::nullopt;
}

std::string ToUtf8(std::u16string_view text) {
  std::u16string paired(text);
  for (size_t from = 0;
       const auto lone = FindLoneSurrogate(std::u16string_view(paired).substr(from));) {
    from += *lone;
    paired[from++] = 0xFFFD;
  }
  std::string utf8;
  utf8.reserve(paired.size());
  utf8::utf16to8(paired.begin(), paired.end(), std::back_inserter(utf8));
  return utf8;
}

std::u16string FromUtf8(std::string_view text) {
  const auto invalid = utf8::find_invalid(text.begin(), text.end());
  if (invalid != text.end()) {
    throw std::invalid_argument("malformed UTF-8 at byte " +
                                std::to_string(invalid - text.begin()));
  }
  return FromValidUtf8(text);
}

std::u16string FromValidUtf8(std::string_view text) {
  std::u16string utf16;
  utf16.reserve(text.size());
  utf8::unchecked::utf8to16(text.begin(), text.end(), std::back_inserter(utf16));
  return utf16;
}

size_t Columns(std::string_view utf8) {
  return std::count_if(utf8.begin(), utf8.end(),
                       [](char byte) { return (static_cast<unsigned char>(byte) & 0xC0) != 0x80; });
}

size_t PrefixBytes(std::string_view utf8, size_t columns) {
  size_t bytes = 0;
  for (size_t seen = 0; bytes < utf8.size(); ++bytes) {
    const bool starts = (static_cast<unsigned char>(utf8[bytes]) & 0xC0) != 0x80;
    if (starts && seen++ == columns) break;
  }
  return bytes;
}

}  // namespace device
