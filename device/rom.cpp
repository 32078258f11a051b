#include "rom.h"

#include <stdexcept>

#include "binary.h"

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

}  // namespace

RomBlock MakeRomBlock(std::u16string_view language) {
  if (language.size() > kRomLanguageUnits) {
    throw std::length_error("a ROM language name holds at most 16 UTF-16 units");
  }
  RomBlock block{};
  for (size_t i = 0; i < std::size(kDeviceFields); ++i) {
    binary::StoreUtf16(block, i * kFieldUnits * 2, kDeviceFields[i]);
  }
  binary::StoreUtf16(block, kRomLanguageOffset, language);
  return block;
}

std::u16string RomLanguage(const RomBlock& block) {
  std::u16string language;
  for (size_t offset = kRomLanguageOffset; offset < kRomBlockSize; offset += 2) {
    const auto unit = static_cast<char16_t>(binary::Load16(block, offset));
    if (unit == 0) break;
    language.push_back(unit);
  }
  return language;
}

}  // namespace device
