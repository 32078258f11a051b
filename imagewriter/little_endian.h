// Little-endian fields and stores. Every byte the writer puts into the image goes through these,
// so the image does not depend on the byte order of the machine that builds it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>
#include <type_traits>

#include "little_endian_field.h"

namespace imagewriter {

using pe::ulittle16_t;
using pe::ulittle32_t;

// The `size` bytes of `buffer` at `offset`. A piece that does not fit is a fault in the writer's
// own size bookkeeping, never in its inputs.
inline std::span<uint8_t> Slice(std::span<uint8_t> buffer, size_t offset, size_t size) {
  if (offset > buffer.size() || size > buffer.size() - offset) {
    throw std::logic_error("image writer: a piece is written outside its buffer");
  }
  return buffer.subspan(offset, size);
}

inline void Write16(std::span<uint8_t> buffer, size_t offset, uint16_t value) {
  std::span<uint8_t> out = Slice(buffer, offset, 2);
  out[0] = static_cast<uint8_t>(value);
  out[1] = static_cast<uint8_t>(value >> 8);
}

inline void Write32(std::span<uint8_t> buffer, size_t offset, uint32_t value) {
  Write16(buffer, offset, static_cast<uint16_t>(value));
  Write16(buffer, offset + 2, static_cast<uint16_t>(value >> 16));
}

// Copies a structure made only of byte-aligned little-endian fields into `buffer` at `offset`.
template <typename T>
requires std::is_trivially_copyable_v<T> &&
    (alignof(T) == 1) void WriteStruct(std::span<uint8_t> buffer, size_t offset, const T& value) {
  std::memcpy(Slice(buffer, offset, sizeof(T)).data(), &value, sizeof(T));
}

constexpr uint32_t AlignTo(uint32_t value, uint32_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

}  // namespace imagewriter
