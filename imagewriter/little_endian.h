// Little-endian fields and stores. Every byte the writer puts into the image goes through these,
// so the image does not depend on the byte order of the machine that builds it. A piece that does
// not fit its buffer is a fault in the writer's own size bookkeeping, never in its inputs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <type_traits>

#include "binary.h"
#include "little_endian_field.h"

namespace imagewriter {

using binary::Slice;
using binary::Store16;
using binary::Store32;
using pe::ulittle16_t;
using pe::ulittle32_t;

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
