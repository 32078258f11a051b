// Bytes as the device stores them, and as messages show them: little-endian loads and stores that
// check their bounds, UTF-16LE text, and the hexadecimal and printable forms every refusal uses.
// Every room reads and writes the device's byte order through these, so none depends on the byte
// order of the host and none indexes past a buffer it was handed.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace binary {

// Whether `count` bytes from `offset` lie inside a buffer of `size` bytes.
constexpr bool Fits(uint64_t size, uint64_t offset, uint64_t count) {
  return offset <= size && count <= size - offset;
}

// A load or store outside its buffer: a fault in the caller's bounds checks, never in an input.
inline void CheckFits(uint64_t size, uint64_t offset, uint64_t count) {
  if (!Fits(size, offset, count)) {
    throw std::out_of_range("a " + std::to_string(count) + "-byte access at offset " +
                            std::to_string(offset) + " lies outside a " + std::to_string(size) +
                            "-byte buffer");
  }
}

// The `count` bytes of `bytes` from `offset`.
template <typename Byte>
std::span<Byte> Slice(std::span<Byte> bytes, uint64_t offset, uint64_t count) {
  CheckFits(bytes.size(), offset, count);
  return bytes.subspan(offset, count);
}

// The unsigned integer stored least significant byte first at `offset`.
template <std::unsigned_integral T>
T Load(std::span<const uint8_t> bytes, uint64_t offset) {
  CheckFits(bytes.size(), offset, sizeof(T));
  T value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(T{bytes[offset + i]} << (8 * i));
  return value;
}

template <std::unsigned_integral T>
void Store(std::span<uint8_t> bytes, uint64_t offset, T value) {
  CheckFits(bytes.size(), offset, sizeof(T));
  for (size_t i = 0; i < sizeof(T); ++i) bytes[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

inline uint16_t Load16(std::span<const uint8_t> bytes, uint64_t offset) {
  return Load<uint16_t>(bytes, offset);
}
inline uint32_t Load32(std::span<const uint8_t> bytes, uint64_t offset) {
  return Load<uint32_t>(bytes, offset);
}
inline void Store16(std::span<uint8_t> bytes, uint64_t offset, uint16_t value) {
  Store<uint16_t>(bytes, offset, value);
}
inline void Store32(std::span<uint8_t> bytes, uint64_t offset, uint32_t value) {
  Store<uint32_t>(bytes, offset, value);
}

// `value`'s bytes, least significant first, after what `bytes` holds.
template <std::unsigned_integral T>
void Append(std::vector<uint8_t>& bytes, T value) {
  for (size_t i = 0; i < sizeof(T); ++i) bytes.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// The UTF-16LE units of `bytes`; an odd last byte is not a unit and is left out.
inline std::u16string Utf16Units(std::span<const uint8_t> bytes) {
  std::u16string units(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) units[i] = static_cast<char16_t>(Load16(bytes, 2 * i));
  return units;
}

// `units` as UTF-16LE, after what `bytes` holds.
inline void AppendUtf16(std::vector<uint8_t>& bytes, std::u16string_view units) {
  bytes.reserve(bytes.size() + 2 * units.size());
  for (char16_t unit : units) Append<uint16_t>(bytes, unit);
}

// `units` as UTF-16LE into `bytes` at `offset`.
inline void StoreUtf16(std::span<uint8_t> bytes, uint64_t offset, std::u16string_view units) {
  CheckFits(bytes.size(), offset, 2 * uint64_t{units.size()});
  for (char16_t unit : units) {
    Store16(bytes, offset, unit);
    offset += 2;
  }
}

// `value` as 0x-prefixed upper-case hexadecimal of at least `digits` digits: how addresses, RVAs
// and codes appear in messages and in the trace.
inline std::string Hex(uint64_t value, int digits = 1) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%0*llX", digits, static_cast<unsigned long long>(value));
  return text;
}

// The value of one hexadecimal digit, either case, or -1.
constexpr int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// `text` from an input file, made safe to show inside a one-line message: control characters and
// bytes outside printable ASCII appear as \xNN.
inline std::string Printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c >= 0x20 && c < 0x7F) {
      out.push_back(static_cast<char>(c));
    } else {
      out += "\\x";
      out += "0123456789ABCDEF"[c >> 4];
      out += "0123456789ABCDEF"[c & 15];
    }
  }
  return out;
}

// Whether `text` starts with `prefix`, the letters A to Z matching either case and nothing else
// folded: the rule of the registry file's keywords and directives.
constexpr bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (fold(text[i]) != fold(prefix[i])) return false;
  }
  return true;
}

}  // namespace binary
