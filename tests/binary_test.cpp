// The low-level byte helpers every room shares: byte order, bounds, UTF-16LE and message forms.
#include "binary.h"

#include <gtest/gtest.h>

#include <cctype>
#include <limits>
#include <string>
#include <vector>

namespace {

TEST(Binary, LoadsAndStoresLittleEndianWithinTheBufferAndRefusesAnyByteOutside) {
  constexpr uint64_t kHuge = std::numeric_limits<uint64_t>::max();
  struct Case {
    size_t size;
    uint64_t offset;
    bool fits16, fits32;
  } cases[] = {{8, 0, true, true},   {8, 4, true, true},       {8, 5, true, false},
               {8, 6, true, false},  {8, 7, false, false},     {8, 8, false, false},
               {0, 0, false, false}, {8, kHuge, false, false}, {8, kHuge - 1, false, false}};
  for (const Case& c : cases) {
    SCOPED_TRACE("size " + std::to_string(c.size) + ", offset " + std::to_string(c.offset));
    std::vector<uint8_t> bytes(c.size, 0xCC);
    if (c.fits32) {
      binary::Store32(bytes, c.offset, 0x04030201);
      EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + c.offset, bytes.begin() + c.offset + 4),
                (std::vector<uint8_t>{1, 2, 3, 4}));
      EXPECT_EQ(binary::Load32(bytes, c.offset), 0x04030201u);
      EXPECT_EQ(binary::Load16(bytes, c.offset + 2), 0x0403u);
    } else {
      EXPECT_THROW(binary::Load32(bytes, c.offset), std::out_of_range);
      EXPECT_THROW(binary::Store32(bytes, c.offset, 0), std::out_of_range);
    }
    if (!c.fits16) {
      EXPECT_THROW(binary::Load16(bytes, c.offset), std::out_of_range);
      EXPECT_THROW(binary::StoreUtf16(bytes, c.offset, u"A"), std::out_of_range);
    }
    if (!c.fits32) {
      EXPECT_EQ(bytes, std::vector<uint8_t>(c.size, 0xCC)) << "a refused store wrote";
    }
  }
}

TEST(Binary, Utf16TextReadsBackUnitForUnitAndAnOddByteIsNoUnit) {
  const std::u16string text = u"Speicherkarte \u00DC\U0001F4BE\uFFFF";
  std::vector<uint8_t> bytes;
  binary::AppendUtf16(bytes, text);
  ASSERT_EQ(bytes.size(), 2 * text.size());
  EXPECT_EQ(bytes[0], 'S');
  EXPECT_EQ(bytes[1], 0);
  EXPECT_EQ(binary::Utf16Units(bytes), text);
  bytes.push_back(0x41);
  EXPECT_EQ(binary::Utf16Units(bytes), text);
}

TEST(Binary, MessagesShowNumbersAndBytesTheOneWay) {
  EXPECT_EQ(binary::Hex(0xABCDEF), "0xABCDEF");
  EXPECT_EQ(binary::Hex(0x1C0, 4), "0x01C0");
  EXPECT_EQ(binary::Hex(0xFFFFFFFFFFFFFFFF), "0xFFFFFFFFFFFFFFFF");
  EXPECT_EQ(binary::Printable(std::string("\x1F \x7E\x7F\x80\xFF\0", 7)),
            "\\x1F ~\\x7F\\x80\\xFF\\x00");
  for (int c = 0; c < 256; ++c) {
    const char ch = static_cast<char>(c);
    const int expected = std::isxdigit(c) ? std::stoi(std::string(1, ch), nullptr, 16) : -1;
    EXPECT_EQ(binary::HexDigit(ch), expected) << c;
  }
}

TEST(Binary, KeywordsMatchInEitherCaseOfTheLettersAndNothingElseFolds) {
  struct Case {
    std::string_view text, prefix;
    bool starts;
  } cases[] = {{"HEX(7):00", "hex(", true},       {"Multi_SZ:\"a\"", "multi_sz:", true},
               {"dword:", "DWORD:", true},        {"#INCLUDE x", "#include", true},
               {"hex\x1A", "hex:", false},        {"multi\x7Fsz:", "multi_sz:", false},
               {"dw@rd:", "dw`rd:", false},       {"hex", "hex:", false},
               {"\xC3\x84x", "\xC3\xA4x", false}, {"", "", true}};
  for (const Case& c : cases) {
    EXPECT_EQ(binary::StartsWithIgnoringCase(c.text, c.prefix), c.starts)
        << binary::Printable(c.text) << " / " << binary::Printable(c.prefix);
  }
}

}  // namespace
