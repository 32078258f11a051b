// The guest's address space as the platform calls see it: every read and write a handler makes
// goes through here and is checked against what is mapped and how.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binary.h"
#include "image_loader.h"  // Protection
#include "unicorn_engine.h"

namespace emulator {

struct GuestRegion {
  std::string name;  // what the region holds, for messages: ".text", "stack", ...
  uint32_t address = 0;
  uint32_t size = 0;
  uint32_t protection = 0;  // Protection bits
};

// Values in the guest's byte order, little-endian.
inline std::vector<uint8_t> LittleEndianWord(uint32_t value) {
  std::vector<uint8_t> bytes;
  binary::Append(bytes, value);
  return bytes;
}
inline std::vector<uint8_t> LittleEndianUnits(std::u16string_view units) {
  std::vector<uint8_t> bytes;
  binary::AppendUtf16(bytes, units);
  return bytes;
}

// "0x00011000": a guest address as every message shows it.
inline std::string HexAddress(uint32_t address) {
  return binary::Hex(address, 8);
}

class GuestMemory {
 public:
  explicit GuestMemory(UnicornEngine& engine) : engine_(engine) {}

  // Maps a zero-filled region and records it. Regions are page aligned and never overlap.
  void Map(const GuestRegion& region);
  // Lets the engine fetch instructions from the region holding `address`, as an MMU without an
  // execute-never bit does; the checked accessors are not affected. False when the engine refuses.
  bool AllowFetches(uint32_t address);
  // Fills mapped memory as the loader does, whatever the region's protection.
  void Load(uint32_t address, const std::vector<uint8_t>& bytes);

  // Every region mapped, by address.
  const std::vector<GuestRegion>& regions() const { return regions_; }
  // The region holding `address`, if any.
  const GuestRegion* RegionAt(uint32_t address) const;
  // "0x00011000 (.data)": an address with the region it lies in, for messages.
  std::string Describe(uint32_t address) const;
  // The name of the region holding `address`, or "unmapped".
  std::string RegionName(uint32_t address) const;

  // Checked accessors: empty or false when any byte of the range is unmapped or lacks the access.
  std::optional<std::vector<uint8_t>> Read(uint32_t address, uint32_t size) const;
  bool Write(uint32_t address, const std::vector<uint8_t>& bytes);
  std::optional<uint32_t> ReadWord(uint32_t address) const;
  bool WriteWord(uint32_t address, uint32_t value);
  // A NUL-terminated UTF-16 string, without its terminator; empty when it runs off readable memory.
  std::optional<std::u16string> ReadString(uint32_t address) const;

  // Whether all of [address, address + size) is mapped with `protection`.
  bool Allows(uint32_t address, uint32_t size, uint32_t protection) const;

 private:
  UnicornEngine& engine_;
  std::vector<GuestRegion> regions_;
};

}  // namespace emulator
