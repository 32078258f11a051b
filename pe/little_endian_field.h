// Little-endian fields: the integers of the PE/COFF format, as the file stores them.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>

namespace pe {

// An unsigned integer stored least significant byte first. It has no alignment of its own, so a
// structure built from these fields has exactly the layout the file format gives it.
template <std::unsigned_integral T>
class LittleEndian {
 public:
  constexpr LittleEndian() = default;
  constexpr LittleEndian(T value) { *this = value; }  // NOLINT(google-explicit-constructor)

  constexpr LittleEndian& operator=(T value) {
    for (size_t i = 0; i < sizeof(T); ++i) bytes_[i] = static_cast<uint8_t>(value >> (8 * i));
    return *this;
  }

  constexpr T Value() const {
    T value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(T{bytes_[i]} << (8 * i));
    return value;
  }

 private:
  std::array<uint8_t, sizeof(T)> bytes_{};
};

using ulittle16_t = LittleEndian<uint16_t>;
using ulittle32_t = LittleEndian<uint32_t>;
static_assert(sizeof(ulittle16_t) == 2 && alignof(ulittle16_t) == 1);
static_assert(sizeof(ulittle32_t) == 4 && alignof(ulittle32_t) == 1);

}  // namespace pe
