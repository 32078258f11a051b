// Conversions between UTF-8 and UTF-16 are utfcpp's. Windows-1252 is a table of its own: it
// differs from Latin-1 only in 0x80-0x9F, and iconv's converter, the library that would do it,
// refuses the five bytes there that Windows maps to C1 controls, which a file read and written
// back must keep.
#include "reg_text.h"

#include <endian.h>
#include <utf8.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <variant>

#include "binary.h"

namespace device {
namespace {

constexpr uint64_t kHighBits = 0x8080808080808080ull;

// FNV-1a over the folded UTF-16 units, taking eight ASCII units at a time where the text has
// them: the UTF-8 and the UTF-16 form of a text split into the same pieces.
class FoldedHasher {
 public:
  void AddUnit(char16_t unit) { Mix(FoldCase(unit)); }
  // Eight ASCII characters, the first in the lowest byte.
  void AddAscii(uint64_t eight) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    const uint64_t atLeastA = eight + 0x3F * kOnes;  // high bit set where a byte >= 'A'
    const uint64_t aboveZ = eight + 0x25 * kOnes;    // ... where a byte > 'Z'
    Mix(eight | (((atLeastA & ~aboveZ) & 0x80 * kOnes) >> 2));
  }
  // Mixed so that every bit of the value depends on every piece: tables index by the low bits.
  uint64_t Value() const {
    uint64_t value = hash_ ^ (hash_ >> 33);
    value *= 0xFF51AFD7ED558CCDull;
    return value ^ (value >> 33);
  }

 private:
  void Mix(uint64_t piece) { hash_ = (hash_ ^ piece) * 1099511628211ull; }

  uint64_t hash_ = 14695981039346656037ull;
};

bool IsHighSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}

// What Windows-1252 bytes 0x80-0x9F stand for; the unassigned ones map to the C1 control of the
// same number, as Windows maps them.
constexpr std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::optional<uint8_t> Windows1252Byte(char32_t code) {
  if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) return static_cast<uint8_t>(code);
  const auto high = std::find(kWindows1252High.begin(), kWindows1252High.end(), code);
  if (high == kWindows1252High.end()) return std::nullopt;
  return static_cast<uint8_t>(0x80 + (high - kWindows1252High.begin()));
}

bool StartsWithBytes(std::span<const uint8_t> bytes, std::initializer_list<uint8_t> prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

size_t LineOfByte(std::span<const uint8_t> bytes, size_t offset) {
  return 1 + static_cast<size_t>(std::count(bytes.begin(), bytes.begin() + offset, '\n'));
}

// The offset of the first malformed sequence. Runs of ASCII are skipped a word at a time; utfcpp
// checks the rest, cut at ASCII bytes, which no sequence holds.
std::optional<size_t> FindInvalidUtf8(std::span<const uint8_t> bytes) {
  size_t at = 0;
  while (at < bytes.size()) {
    uint64_t word;
    if (bytes.size() - at >= sizeof word) {
      std::memcpy(&word, bytes.data() + at, sizeof word);
      if ((word & kHighBits) == 0) {
        at += sizeof word;
        continue;
      }
    }
    if (bytes[at] < 0x80) {
      ++at;
      continue;
    }
    size_t end = at;
    while (end < bytes.size() && bytes[end] >= 0x80) ++end;
    const auto run = bytes.subspan(at, end - at);
    const auto invalid = utf8::find_invalid(run.begin(), run.end());
    if (invalid != run.end()) return at + static_cast<size_t>(invalid - run.begin());
    at = end;
  }
  return std::nullopt;
}

// The first non-blank line is the REGEDIT4 header.
bool StartsWithRegedit4(std::span<const uint8_t> bytes) {
  constexpr std::string_view kHeader = "REGEDIT4";
  size_t at = 0;
  while (at < bytes.size() && std::string_view(" \t\r\n").find(bytes[at]) != std::string_view::npos)
    ++at;
  if (bytes.size() - at < kHeader.size() ||
      !std::equal(kHeader.begin(), kHeader.end(), bytes.begin() + at)) {
    return false;
  }
  at += kHeader.size();
  return at == bytes.size() ||
         std::string_view(" \t\r\n").find(bytes[at]) != std::string_view::npos;
}

std::optional<TextProblem> DecodeUtf16LittleEndian(std::span<const uint8_t> bytes,
                                                   std::vector<uint8_t>& utf8) {
  if (bytes.size() % 2 != 0) return TextProblem{0, "UTF-16 text has an odd number of bytes"};
  const std::u16string units = binary::Utf16Units(bytes);
  if (const auto lone = FindLoneSurrogate(units)) {
    const auto line = std::count(units.begin(), units.begin() + *lone, u'\n');
    return TextProblem{static_cast<size_t>(line) + 1, "unpaired UTF-16 surrogate"};
  }
  utf8.reserve(units.size());
  utf8::utf16to8(units.begin(), units.end(), std::back_inserter(utf8));
  return std::nullopt;
}

std::vector<uint8_t> DecodeWindows1252(std::span<const uint8_t> bytes) {
  std::vector<uint8_t> utf8;
  utf8.reserve(bytes.size() + bytes.size() / 8);
  for (uint8_t byte : bytes) {
    if (byte < 0x80) {
      utf8.push_back(byte);
    } else {
      const char32_t code = byte < 0xA0 ? kWindows1252High[byte - 0x80] : byte;
      utf8::append(code, std::back_inserter(utf8));
    }
  }
  return utf8;
}

// Writes one byte per character to `out`, which may be the text's own storage: no character
// takes fewer bytes in UTF-8 than its one in Windows-1252, so a byte is written only where the
// text has already been read. Returns the end of what was written, or the problem.
template <typename Out>
std::variant<Out, TextProblem> ToWindows1252(std::string_view utf8, Out out) {
  size_t line = 1;
  for (auto at = utf8.begin(); at != utf8.end();) {
    if (static_cast<unsigned char>(*at) < 0x80) {  // ASCII, most of any registry: the same byte
      if (*at == '\n') ++line;
      *out++ = *at++;
      continue;
    }
    const char32_t code = utf8::unchecked::next(at);
    const auto byte = Windows1252Byte(code);
    if (!byte) {
      char number[16];
      std::snprintf(number, sizeof number, "U+%04X", static_cast<unsigned>(code));
      return TextProblem{line, "the character " + std::string(number) +
                                   " has no Windows-1252 form, the encoding of this REGEDIT4 file"};
    }
    *out++ = static_cast<char>(*byte);
  }
  return out;
}

std::optional<TextProblem> EncodeWindows1252(std::string_view utf8, std::vector<uint8_t>& bytes) {
  bytes.reserve(utf8.size());
  const auto written = ToWindows1252(utf8, std::back_inserter(bytes));
  if (const auto* problem = std::get_if<TextProblem>(&written)) return *problem;
  return std::nullopt;
}

}  // namespace

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return FoldCase(x) == FoldCase(y); });
}

bool IsRootKey(std::u16string_view name) {
  return std::ranges::any_of(kRootKeys, [&](auto root) { return EqualsIgnoringCase(name, root); });
}

uint64_t FoldedHash(std::u16string_view text) {
  FoldedHasher hasher;
  for (size_t i = 0; i < text.size();) {
    if (text.size() - i >= 8 &&
        std::all_of(text.begin() + i, text.begin() + i + 8, [](char16_t u) { return u < 0x80; })) {
      uint64_t eight = 0;
      for (size_t k = 0; k < 8; ++k) eight |= static_cast<uint64_t>(text[i + k]) << (8 * k);
      hasher.AddAscii(eight);
      i += 8;
    } else {
      hasher.AddUnit(text[i++]);
    }
  }
  return hasher.Value();
}

uint64_t FoldedHashUtf8(std::string_view utf8) {
  FoldedHasher hasher;
  for (auto at = utf8.begin(); at != utf8.end();) {
    uint64_t eight;
    if (utf8.end() - at >= 8 && (std::memcpy(&eight, &*at, 8), (eight & kHighBits) == 0)) {
      hasher.AddAscii(le64toh(eight));
      at += 8;
      continue;
    }
    const uint32_t code = utf8::unchecked::next(at);
    if (code < 0x10000) {
      hasher.AddUnit(static_cast<char16_t>(code));
    } else {
      hasher.AddUnit(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      hasher.AddUnit(static_cast<char16_t>(0xDC00 + ((code - 0x10000) & 0x3FF)));
    }
  }
  return hasher.Value();
}

std::optional<size_t> FindLoneSurrogate(std::u16string_view text) {
  for (size_t i = 0; i < text.size(); ++i) {
    if (IsHighSurrogate(text[i]) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      ++i;
    } else if (IsHighSurrogate(text[i]) || IsLowSurrogate(text[i])) {
      return i;
    }
  }
  return std::nullopt;
}

std::string ToUtf8(std::u16string_view text) {
  std::u16string paired(text);
  for (size_t from = 0;
       const auto lone = FindLoneSurrogate(std::u16string_view(paired).substr(from));) {
    from += *lone;
    paired[from++] = 0xFFFD;
  }
  std::string utf8;
  utf8.reserve(paired.size());
  utf8::utf16to8(paired.begin(), paired.end(), std::back_inserter(utf8));
  return utf8;
}

std::u16string FromUtf8(std::string_view text) {
  const auto invalid = utf8::find_invalid(text.begin(), text.end());
  if (invalid != text.end()) {
    throw std::invalid_argument("malformed UTF-8 at byte " +
                                std::to_string(invalid - text.begin()));
  }
  return FromValidUtf8(text);
}

std::u16string FromValidUtf8(std::string_view text) {
  std::u16string utf16;
  utf16.reserve(text.size());
  utf8::unchecked::utf8to16(text.begin(), text.end(), std::back_inserter(utf16));
  return utf16;
}

std::optional<TextProblem> DecodeFileText(std::vector<uint8_t> bytes, FileText& text) {
  if (StartsWithBytes(bytes, {0xFF, 0xFE})) {
    text.encoding = RegFileEncoding::kUtf16LeBom;
    return DecodeUtf16LittleEndian(std::span(bytes).subspan(2), text.bytes);
  }
  if (StartsWithBytes(bytes, {0xFE, 0xFF})) {
    return TextProblem{0, "UTF-16 big-endian text is not supported"};
  }
  const bool hasBom = StartsWithBytes(bytes, {0xEF, 0xBB, 0xBF});
  const std::span<const uint8_t> body = std::span(bytes).subspan(hasBom ? 3 : 0);
  const bool regedit4 = !hasBom && StartsWithRegedit4(body);
  if (const auto invalid = FindInvalidUtf8(body)) {
    if (regedit4) {
      text.bytes = DecodeWindows1252(body);
      text.encoding = RegFileEncoding::kWindows1252;
      return std::nullopt;
    }
    return TextProblem{LineOfByte(body, *invalid), "malformed UTF-8"};
  }
  text.encoding = hasBom ? RegFileEncoding::kUtf8Bom : RegFileEncoding::kUtf8;
  // REGEDIT4 is regedit's ANSI form: one that is plain ASCII is Windows-1252 as much as UTF-8,
  // and a character set into it is written as regedit will read it. ASCII is the same bytes in
  // both, so the text is kept as it is.
  if (regedit4 && std::all_of(body.begin(), body.end(), [](uint8_t byte) { return byte < 0x80; })) {
    text.encoding = RegFileEncoding::kWindows1252;
  }
  text.begin = hasBom ? 3 : 0;
  text.bytes = std::move(bytes);
  text.bytes.shrink_to_fit();  // a reader that grew the buffer leaves room the text never needs
  return std::nullopt;
}

std::optional<TextProblem> EncodeWindows1252InPlace(std::string& text) {
  const auto written = ToWindows1252(text, text.begin());
  if (const auto* problem = std::get_if<TextProblem>(&written)) return *problem;
  text.erase(std::get<std::string::iterator>(written), text.end());
  return std::nullopt;
}

std::optional<TextProblem> EncodeFileText(std::string_view utf8, RegFileEncoding encoding,
                                          std::vector<uint8_t>& bytes) {
  bytes.clear();
  switch (encoding) {
    case RegFileEncoding::kWindows1252:
      return EncodeWindows1252(utf8, bytes);
    case RegFileEncoding::kUtf16LeBom: {
      std::u16string units;
      units.reserve(utf8.size());
      utf8::unchecked::utf8to16(utf8.begin(), utf8.end(), std::back_inserter(units));
      bytes = {0xFF, 0xFE};
      binary::AppendUtf16(bytes, units);
      return std::nullopt;
    }
    case RegFileEncoding::kUtf8Bom:
      bytes = {0xEF, 0xBB, 0xBF};
      break;
    case RegFileEncoding::kUtf8:
      break;
  }
  bytes.insert(bytes.end(), utf8.begin(), utf8.end());
  return std::nullopt;
}

}  // namespace device
