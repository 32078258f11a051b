#include "rom.h"

#include <stdexcept>

namespace device {
namespace {

// Layout of the device data before the language name: four UTF-16 fields of 16 units each.
constexpr size_t kFieldUnits = 16;
constexpr std::u16string_view kDeviceFields[] = {
    u"Quillet r860",   // model
    u"4.20.1081",      // operating system build
    u"ROM 2.31.0407",  // ROM image version
    u"2004-11-19",     // ROM build date
};
static_assert(std::size(kDeviceFields) * kFieldUnits * 2 == kRomLanguageOffset);

void PutText(RomBlock& block, size_t offset, std::u16string_view text) {
  for (char16_t unit : text) {
    block[offset++] = static_cast<uint8_t>(unit);
    block[offset++] = static_cast<uint8_t>(unit >> 8);
  }
}

}  // namespace

RomBlock MakeRomBlock(std::u16string_view language) {
  if (language.size() > kRomLanguageUnits) {
    throw std::length_error("a ROM language name holds at most 16 UTF-16 units");
  }
  RomBlock block{};
  for (size_t i = 0; i < std::size(kDeviceFields); ++i) {
    PutText(block, i * kFieldUnits * 2, kDeviceFields[i]);
  }
  PutText(block, kRomLanguageOffset, language);
  return block;
}

std::u16string RomLanguage(const RomBlock& block) {
  std::u16string language;
  for (size_t offset = kRomLanguageOffset; offset < kRomBlockSize; offset += 2) {
    char16_t unit = static_cast<char16_t>(block[offset] | block[offset + 1] << 8);
    if (unit == 0) break;
    language.push_back(unit);
  }
  return language;
}

}  // namespace device
