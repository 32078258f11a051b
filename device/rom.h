// The ROM information block the adaptation layer reports.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace device {

constexpr size_t kRomBlockSize = 160;
constexpr size_t kRomLanguageOffset = 128;                                      // byte
constexpr size_t kRomLanguageUnits = (kRomBlockSize - kRomLanguageOffset) / 2;  // 16
constexpr uint32_t kRomInfoRequest = 15;  // input word asking for the whole block

using RomBlock = std::array<uint8_t, kRomBlockSize>;

// The block of this handheld with the given language name (at most kRomLanguageUnits units; a
// name of exactly that length fills the field and has no terminator). Throws std::length_error
// for a longer name.
RomBlock MakeRomBlock(std::u16string_view language);

// The language name the block carries: up to its terminator or the end of the block.
std::u16string RomLanguage(const RomBlock& block);

}  // namespace device
