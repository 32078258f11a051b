// Text between UTF-8 and UTF-16, and its width on a terminal: what the registry, the message boxes
// and cesim's options share. The conversions are utfcpp's; the rules around them are the device's.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace device {

inline bool IsHighSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
inline bool IsLowSurrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// Lone surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view text);
// Throws std::invalid_argument on malformed UTF-8 (including overlong forms and surrogates).
std::u16string FromUtf8(std::string_view text);
// For text known to be valid UTF-8, such as a file's text once read.
std::u16string FromValidUtf8(std::string_view text);
// The index of the first unpaired surrogate, if any.
std::optional<size_t> FindLoneSurrogate(std::u16string_view text);

// Characters on screen: one per code point of UTF-8 text (continuation bytes take no column).
size_t Columns(std::string_view utf8);
// The byte length of the first `columns` characters of UTF-8 text.
size_t PrefixBytes(std::string_view utf8, size_t columns);

}  // namespace device
