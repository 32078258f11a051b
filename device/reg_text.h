// Text as the registry needs it: case folding as the device folds, conversion between UTF-8 and
// UTF-16, and the byte encodings a .reg file can have.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace device {

// How a registry file's bytes hold its text.
enum class RegFileEncoding { kUtf8, kUtf8Bom, kUtf16LeBom, kWindows1252 };

// Key paths and value names compare as the device compares them: ASCII and Latin-1 letters fold
// case.
inline char16_t FoldCase(char16_t unit) {
  if (unit >= u'A' && unit <= u'Z') return unit + (u'a' - u'A');
  if (unit >= 0xC0 && unit <= 0xDE && unit != 0xD7) return unit + 0x20;
  return unit;
}
bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b);

// The registry's root keys, as a key path starts.
constexpr std::array<std::u16string_view, 4> kRootKeys = {
    u"HKEY_LOCAL_MACHINE", u"HKEY_CURRENT_USER", u"HKEY_CLASSES_ROOT", u"HKEY_USERS"};
// Whether `name` is one of them, in any case.
bool IsRootKey(std::u16string_view name);
// The same number for texts that are equal ignoring case.
uint64_t FoldedHash(std::u16string_view text);
// The same number as FoldedHash of the text's UTF-16 form; `utf8` is valid UTF-8.
uint64_t FoldedHashUtf8(std::string_view utf8);

// Lone surrogates become U+FFFD.
std::string ToUtf8(std::u16string_view text);
// Throws std::invalid_argument on malformed UTF-8 (including overlong forms and surrogates).
std::u16string FromUtf8(std::string_view text);
// For text known to be valid UTF-8, such as a file's text once read.
std::u16string FromValidUtf8(std::string_view text);
// The index of the first unpaired surrogate, if any.
std::optional<size_t> FindLoneSurrogate(std::u16string_view text);

// A file's text as UTF-8, and the encoding its bytes had.
struct FileText {
  std::vector<uint8_t> bytes;  // the file's own bytes when they are UTF-8, else the text converted
  size_t begin = 0;            // after a byte order mark
  RegFileEncoding encoding = RegFileEncoding::kUtf8;

  std::string_view Utf8() const {
    return {reinterpret_cast<const char*>(bytes.data()) + begin, bytes.size() - begin};
  }
};

// A text problem at a line of the file (1-based), or for the whole file (line 0).
struct TextProblem {
  size_t line;
  std::string what;
};

// UTF-16LE after its byte order mark; UTF-8 with or without one; and, for a file that starts
// with the REGEDIT4 header and is not UTF-8 or is plain ASCII, Windows-1252.
// UTF-8 bytes are kept as they are, not copied.
std::optional<TextProblem> DecodeFileText(std::vector<uint8_t> bytes, FileText& text);
// UTF-8 text turned into Windows-1252 in its own storage; on a character Windows-1252 cannot hold,
// the problem, and the text is left part converted.
std::optional<TextProblem> EncodeWindows1252InPlace(std::string& text);
// The inverse of DecodeFileText. Fails only for Windows-1252, on a character it cannot hold.
std::optional<TextProblem> EncodeFileText(std::string_view utf8, RegFileEncoding encoding,
                                          std::vector<uint8_t>& bytes);

}  // namespace device
