#include "registry.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <system_error>
#include <unordered_map>
#include <utility>

#include "file_io.h"

namespace device {
namespace {

constexpr std::u16string_view kRegedit4Header = u"REGEDIT4";
constexpr std::u16string_view kRegedit5Header = u"Windows Registry Editor Version 5.00";
constexpr std::array<std::u16string_view, 4> kRootKeys = {
    u"HKEY_LOCAL_MACHINE", u"HKEY_CURRENT_USER", u"HKEY_CLASSES_ROOT", u"HKEY_USERS"};
constexpr size_t kMaxValueNameLength = 255;
constexpr size_t kMaxLineWidth = 79;  // wrapped hex lines stay under 80 columns
constexpr size_t kExcerptLength = 40;
constexpr const char* kNotEdits = "a device registry file holds state, not edits";

// ---------------------------------------------------------------------------------------------
// Text

bool IsHighSurrogate(char32_t unit) {
  return unit >= 0xD800 && unit <= 0xDBFF;
}
bool IsLowSurrogate(char32_t unit) {
  return unit >= 0xDC00 && unit <= 0xDFFF;
}
bool IsSpace(char16_t unit) {
  return unit == u' ' || unit == u'\t';
}

// The device folds the case of ASCII and Latin-1 letters.
char16_t FoldCase(char16_t unit) {
  if (unit >= u'A' && unit <= u'Z') return unit + (u'a' - u'A');
  if (unit >= 0xC0 && unit <= 0xDE && unit != 0xD7) return unit + 0x20;
  return unit;
}

std::u16string Folded(std::u16string_view text) {
  std::u16string folded(text);
  std::transform(folded.begin(), folded.end(), folded.begin(), FoldCase);
  return folded;
}

bool StartsWithIgnoringCase(std::u16string_view text, std::u16string_view prefix) {
  return text.size() >= prefix.size() && EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
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

void AppendUtf8(std::string& out, char32_t code) {
  if (code < 0x80) {
    out.push_back(static_cast<char>(code));
  } else if (code < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code >> 6)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else if (code < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
  }
}

void AppendUtf16(std::u16string& out, char32_t code) {
  if (code < 0x10000) {
    out.push_back(static_cast<char16_t>(code));
  } else {
    code -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
  }
}

struct Utf8Decoding {
  std::u16string text;
  std::optional<size_t> errorOffset;  // byte offset of the first malformed sequence
};

// The length, payload bits and smallest allowed code point of a sequence's lead byte.
struct Utf8Lead {
  size_t length;
  char32_t bits;
  char32_t minimum;
};

std::optional<Utf8Lead> ReadUtf8Lead(uint8_t lead) {
  if ((lead & 0xE0) == 0xC0) return Utf8Lead{2, lead & 0x1Fu, 0x80};
  if ((lead & 0xF0) == 0xE0) return Utf8Lead{3, lead & 0x0Fu, 0x800};
  if ((lead & 0xF8) == 0xF0) return Utf8Lead{4, lead & 0x07u, 0x10000};
  return std::nullopt;
}

Utf8Decoding DecodeUtf8(std::string_view bytes) {
  Utf8Decoding result;
  for (size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<uint8_t>(bytes[i]);
    if (lead < 0x80) {
      result.text.push_back(lead);
      ++i;
      continue;
    }
    const std::optional<Utf8Lead> sequence = ReadUtf8Lead(lead);
    if (!sequence || i + sequence->length > bytes.size()) return {{}, i};
    char32_t code = sequence->bits;
    for (size_t k = 1; k < sequence->length; ++k) {
      const auto next = static_cast<uint8_t>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return {{}, i};
      code = (code << 6) | (next & 0x3F);
    }
    if (code < sequence->minimum || code > 0x10FFFF || IsHighSurrogate(code) ||
        IsLowSurrogate(code)) {
      return {{}, i};
    }
    AppendUtf16(result.text, code);
    i += sequence->length;
  }
  return result;
}

std::u16string ToUtf16(char16_t unit) {
  return std::u16string(1, unit);
}

std::string Quoted(std::u16string_view text) {
  return "\"" + ToUtf8(text) + "\"";
}

// A short quoted piece of a line for messages.
std::string Excerpt(std::u16string_view text) {
  if (text.size() <= kExcerptLength) return Quoted(text);
  return Quoted(text.substr(0, kExcerptLength)) + "...";
}

std::u16string_view Trim(std::u16string_view text) {
  while (!text.empty() && IsSpace(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsSpace(text.back())) text.remove_suffix(1);
  return text;
}

int HexDigitValue(char16_t unit) {
  if (unit >= u'0' && unit <= u'9') return unit - u'0';
  if (unit >= u'a' && unit <= u'f') return unit - u'a' + 10;
  if (unit >= u'A' && unit <= u'F') return unit - u'A' + 10;
  return -1;
}

// 1 to maxDigits hex digits, nothing else.
std::optional<uint32_t> ParseHexNumber(std::u16string_view digits, size_t maxDigits) {
  if (digits.empty() || digits.size() > maxDigits) return std::nullopt;
  uint32_t number = 0;
  for (char16_t unit : digits) {
    const int digit = HexDigitValue(unit);
    if (digit < 0) return std::nullopt;
    number = number * 16 + static_cast<uint32_t>(digit);
  }
  return number;
}

std::u16string HexText(uint32_t number, size_t minDigits) {
  static constexpr char16_t kDigits[] = u"0123456789abcdef";
  std::u16string text;
  do {
    text.insert(text.begin(), kDigits[number & 0xF]);
    number >>= 4;
  } while (number != 0);
  if (text.size() < minDigits) text.insert(0, minDigits - text.size(), u'0');
  return text;
}

void AppendUnitLittleEndian(std::vector<uint8_t>& bytes, char16_t unit) {
  bytes.push_back(static_cast<uint8_t>(unit & 0xFF));
  bytes.push_back(static_cast<uint8_t>(unit >> 8));
}

// A text value as stored: UTF-16LE with its terminator.
std::vector<uint8_t> TerminatedTextBytes(std::u16string_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(2 * text.size() + 2);
  for (char16_t unit : text) AppendUnitLittleEndian(bytes, unit);
  AppendUnitLittleEndian(bytes, 0);
  return bytes;
}

bool HasLineBreakOrNul(std::u16string_view text) {
  return text.find_first_of(std::u16string_view(u"\r\n\0", 3)) != std::u16string_view::npos;
}

// Why a key path cannot be held, or nothing.
std::optional<std::string> KeyPathProblem(std::u16string_view path) {
  if (path.empty()) return "empty key path";
  if (path.back() == u'\\') return "key path " + Quoted(path) + " ends with '\\'";
  if (HasLineBreakOrNul(path) || FindLoneSurrogate(path)) {
    return "key path contains a line break, NUL or unpaired surrogate";
  }
  if (path.find(u']') != std::u16string_view::npos)
    return "key path " + Quoted(path) + " holds ']'";
  if (path.find(u"\\\\") != std::u16string_view::npos || path.front() == u'\\') {
    return "key path " + Quoted(path) + " has an empty key name";
  }
  const std::u16string_view root = path.substr(0, path.find(u'\\'));
  const bool knownRoot = std::any_of(kRootKeys.begin(), kRootKeys.end(),
                                     [&](auto known) { return EqualsIgnoringCase(root, known); });
  if (!knownRoot) {
    return "unknown root key " + Quoted(root) +
           "; expected HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER, HKEY_CLASSES_ROOT or HKEY_USERS";
  }
  return std::nullopt;
}

std::optional<std::string> ValueNameProblem(std::u16string_view name) {
  if (name.size() > kMaxValueNameLength) {
    return "value name is " + std::to_string(name.size()) + " characters long; at most " +
           std::to_string(kMaxValueNameLength) + " are allowed";
  }
  if (HasLineBreakOrNul(name) || FindLoneSurrogate(name)) {
    return "value name contains a line break, NUL or unpaired surrogate";
  }
  return std::nullopt;
}

bool IsRootKey(std::u16string_view path) {
  return std::any_of(kRootKeys.begin(), kRootKeys.end(),
                     [&](auto root) { return EqualsIgnoringCase(path, root); });
}

bool IsSubkeyPath(std::u16string_view candidate, std::u16string_view parent) {
  return candidate.size() > parent.size() && candidate[parent.size()] == u'\\' &&
         StartsWithIgnoringCase(candidate, parent);
}

const RegValue* FindValueIn(const RegKey& key, std::u16string_view name) {
  for (const RegValue& value : key.values) {
    if (EqualsIgnoringCase(value.name, name)) return &value;
  }
  return nullptr;
}

// ---------------------------------------------------------------------------------------------
// Reading

[[noreturn]] void FailAt(const std::string& fileName, size_t line, const std::string& what) {
  throw RegFileError(fileName + ":" + std::to_string(line) + ": " + what);
}

struct DecodedFile {
  std::u16string text;
  RegFileEncoding encoding;
};

bool StartsWithBytes(std::span<const uint8_t> bytes, std::initializer_list<uint8_t> prefix) {
  return bytes.size() >= prefix.size() && std::equal(prefix.begin(), prefix.end(), bytes.begin());
}

size_t LineOfUnit(std::u16string_view text, size_t index) {
  return 1 + static_cast<size_t>(std::count(text.begin(), text.begin() + index, u'\n'));
}

std::u16string DecodeUtf16LittleEndian(std::span<const uint8_t> bytes,
                                       const std::string& fileName) {
  if (bytes.size() % 2 != 0) {
    throw RegFileError(fileName + ": UTF-16 text has an odd number of bytes");
  }
  std::u16string text;
  text.reserve(bytes.size() / 2);
  for (size_t i = 0; i < bytes.size(); i += 2) {
    text.push_back(static_cast<char16_t>(bytes[i] | (bytes[i + 1] << 8)));
  }
  if (const auto lone = FindLoneSurrogate(text)) {
    FailAt(fileName, LineOfUnit(text, *lone), "unpaired UTF-16 surrogate");
  }
  return text;
}

DecodedFile DecodeFile(std::span<const uint8_t> bytes, const std::string& fileName) {
  if (StartsWithBytes(bytes, {0xFF, 0xFE})) {
    return {DecodeUtf16LittleEndian(bytes.subspan(2), fileName), RegFileEncoding::kUtf16LeBom};
  }
  if (StartsWithBytes(bytes, {0xFE, 0xFF})) {
    throw RegFileError(fileName + ": UTF-16 big-endian text is not supported");
  }
  const bool hasBom = StartsWithBytes(bytes, {0xEF, 0xBB, 0xBF});
  const std::span<const uint8_t> body = hasBom ? bytes.subspan(3) : bytes;
  Utf8Decoding decoding = DecodeUtf8({reinterpret_cast<const char*>(body.data()), body.size()});
  if (decoding.errorOffset) {
    const auto line = std::count(body.begin(), body.begin() + *decoding.errorOffset, '\n');
    FailAt(fileName, static_cast<size_t>(line) + 1, "malformed UTF-8");
  }
  return {std::move(decoding.text), hasBom ? RegFileEncoding::kUtf8Bom : RegFileEncoding::kUtf8};
}

struct SourceLines {
  std::vector<std::u16string_view> lines;  // without their line ends
  bool crlf = false;                       // the first line end is CR LF
};

SourceLines SplitLines(std::u16string_view text, const std::string& fileName) {
  SourceLines source;
  bool firstLineEnd = true;
  size_t start = 0;
  while (start <= text.size()) {
    const size_t end = std::min(text.find(u'\n', start), text.size());
    std::u16string_view line = text.substr(start, end - start);
    const bool endsWithCr = !line.empty() && line.back() == u'\r';
    if (endsWithCr) line.remove_suffix(1);
    if (end < text.size() && firstLineEnd) {
      source.crlf = endsWithCr;
      firstLineEnd = false;
    }
    const size_t number = source.lines.size() + 1;
    if (line.find(u'\0') != std::u16string_view::npos) {
      FailAt(fileName, number, "NUL character in text (UTF-16 without a byte order mark?)");
    }
    if (line.find(u'\r') != std::u16string_view::npos || (endsWithCr && end == text.size())) {
      FailAt(fileName, number, "carriage return without a line feed");
    }
    source.lines.push_back(line);
    start = end + 1;
  }
  return source;
}

std::optional<RegFileHeader> HeaderOf(std::u16string_view line) {
  if (line == kRegedit4Header) return RegFileHeader::kRegedit4;
  if (line == kRegedit5Header) return RegFileHeader::kRegedit5;
  return std::nullopt;
}

// Reads one line from left to right.
class Scanner {
 public:
  explicit Scanner(std::u16string_view text) : text_(text) {}

  bool AtEnd() const { return position_ >= text_.size(); }
  char16_t Peek() const { return AtEnd() ? u'\0' : text_[position_]; }
  char16_t Take() { return text_[position_++]; }
  std::u16string_view Rest() const { return text_.substr(position_); }
  void SkipSpace() {
    while (!AtEnd() && IsSpace(Peek())) ++position_;
  }
  bool Consume(char16_t unit) {
    if (AtEnd() || Peek() != unit) return false;
    ++position_;
    return true;
  }
  bool ConsumeIgnoringCase(std::u16string_view word) {
    if (!StartsWithIgnoringCase(Rest(), word)) return false;
    position_ += word.size();
    return true;
  }
  // True when only whitespace or a ; comment is left.
  bool AtLineEnd() {
    SkipSpace();
    return AtEnd() || Peek() == u';';
  }
  // A regedit continuation: '\' with nothing but a comment after it.
  bool AtContinuation() const {
    Scanner after = *this;
    after.SkipSpace();
    if (!after.Consume(u'\\')) return false;
    return after.AtLineEnd();
  }
  // Up to the next whitespace, ',' or ';'.
  std::u16string_view TakeToken() {
    const size_t start = position_;
    while (!AtEnd() && !IsSpace(Peek()) && Peek() != u',' && Peek() != u';') ++position_;
    return text_.substr(start, position_ - start);
  }

 private:
  std::u16string_view text_;
  size_t position_ = 0;
};

// Where an item is read: the line it starts on and the line being read now.
struct Site {
  size_t itemLine;
  size_t line;
};

struct ParsedFile {
  std::vector<RegKey> keys;
  RegFileHeader header = RegFileHeader::kNone;
};

class RegParser {
 public:
  RegParser(const std::vector<std::u16string_view>& lines, const std::string& fileName)
      : lines_(lines), fileName_(fileName) {}

  ParsedFile Parse() {
    bool seenContent = false;
    while (nextLine_ < lines_.size()) {
      const size_t number = nextLine_ + 1;
      const std::u16string_view line = Trim(lines_[nextLine_++]);
      if (line.empty()) continue;
      if (!std::exchange(seenContent, true)) {
        if (const auto header = HeaderOf(line)) {
          result_.header = *header;
          continue;
        }
      }
      ParseItem(line, number);
    }
    return std::move(result_);
  }

 private:
  [[noreturn]] void Fail(Site site, std::string what) const {
    if (site.line != site.itemLine)
      what += " (continued on line " + std::to_string(site.line) + ")";
    FailAt(fileName_, site.itemLine, what);
  }
  [[noreturn]] void Fail(size_t line, const std::string& what) const {
    Fail(Site{line, line}, what);
  }

  void ParseItem(std::u16string_view line, size_t number) {
    if (line.front() == u';') return;
    if (HeaderOf(line)) Fail(number, "the header " + Quoted(line) + " belongs on the first line");
    if (line.front() == u'[') return ParseSection(line, number);
    if (line.front() == u'"' || line.front() == u'@') return ParseValue(line, number);
    RefuseBuildDirective(line, number);
    Fail(number, "unexpected text " + Excerpt(line) +
                     "; expected a [key] section, a \"name\"=value line or a ; comment");
  }

  void RefuseBuildDirective(std::u16string_view line, size_t number) const {
    const std::u16string_view word = line.substr(0, line.find_first_of(u" \t"));
    if (EqualsIgnoringCase(word, u"IF") || EqualsIgnoringCase(word, u"ENDIF")) {
      Fail(number, ToUtf8(word) +
                       " makes values depend on the build; a device registry file holds state, "
                       "not build conditions");
    }
    if (StartsWithIgnoringCase(line, u"#include")) {
      Fail(number,
           "#include pulls in another file; a device registry file holds state, not build input");
    }
  }

  void ParseSection(std::u16string_view line, size_t number) {
    const size_t close = line.find(u']');
    if (close == std::u16string_view::npos) Fail(number, "section header has no closing ']'");
    const std::u16string_view path = line.substr(1, close - 1);
    if (!path.empty() && path.front() == u'-') {
      Fail(number, "[" + ToUtf8(path) + "] deletes a key; " + kNotEdits);
    }
    Scanner after(line.substr(close + 1));
    if (!after.AtLineEnd()) {
      Fail(number, "unexpected text " + Excerpt(after.Rest()) + " after the section header");
    }
    if (const auto problem = KeyPathProblem(path)) Fail(number, *problem);
    OpenKey(path);
  }

  void OpenKey(std::u16string_view path) {
    const auto [entry, added] = keyIndex_.emplace(Folded(path), result_.keys.size());
    if (added) {
      result_.keys.push_back(RegKey{std::u16string(path), {}});
      valueLines_.emplace_back();
    }
    currentKey_ = entry->second;
  }

  void ParseValue(std::u16string_view line, size_t number) {
    if (!currentKey_) Fail(number, "value outside any [key] section");
    Scanner scanner(line);
    RegValue value;
    value.name = ParseValueName(scanner, number);
    scanner.SkipSpace();
    if (!scanner.Consume(u'=')) {
      Fail(number, ValueLabel(value.name) + ": expected '=' after the value name");
    }
    scanner.SkipSpace();
    ParseData(scanner, number, value);
    AddValue(std::move(value), number);
  }

  std::u16string ParseValueName(Scanner& scanner, size_t number) const {
    if (scanner.Consume(u'@')) return {};
    std::u16string name = ParseQuoted(scanner, Site{number, number}, "value name");
    if (const auto problem = ValueNameProblem(name)) Fail(number, *problem);
    return name;
  }

  static std::string ValueLabel(std::u16string_view name) {
    return name.empty() ? "@" : Quoted(name);
  }

  // A "quoted" string with the escapes \\ and \".
  std::u16string ParseQuoted(Scanner& scanner, Site site, const std::string& what) const {
    if (!scanner.Consume(u'"')) {
      Fail(site, "expected a quoted " + what + ", found " + Excerpt(scanner.Rest()));
    }
    std::u16string text;
    while (!scanner.AtEnd()) {
      char16_t unit = scanner.Take();
      if (unit == u'"') return text;
      if (unit == u'\\' && !scanner.AtEnd()) {
        unit = scanner.Take();
        if (unit != u'\\' && unit != u'"') {
          Fail(site, "unknown escape \\" + ToUtf8(ToUtf16(unit)) + " in " + what +
                         "; only \\\\ and \\\" are allowed");
        }
      }
      text.push_back(unit);
    }
    Fail(site, "unterminated " + what + ": no closing '\"'");
  }

  void ParseData(Scanner& scanner, size_t number, RegValue& value) {
    const std::string label = ValueLabel(value.name);
    if (scanner.AtLineEnd()) Fail(number, label + " has no data after '='");
    if (scanner.Peek() == u'-') {
      Scanner after = scanner;
      after.Take();
      if (after.AtLineEnd()) Fail(number, label + "=- deletes a value; " + kNotEdits);
    }
    if (scanner.Peek() == u'"') {
      value.type = kRegSz;
      value.data = TerminatedTextBytes(ParseQuoted(scanner, Site{number, number}, "string"));
      ExpectLineEnd(scanner, number, label);
    } else if (scanner.ConsumeIgnoringCase(u"dword:")) {
      value.type = kRegDword;
      value.data = ParseDword(scanner, number, label);
      ExpectLineEnd(scanner, number, label);
    } else if (scanner.ConsumeIgnoringCase(u"hex:")) {
      value.type = kRegBinary;
      value.data = ParseHexList(scanner, number, label);
    } else if (scanner.ConsumeIgnoringCase(u"hex(")) {
      value.type = ParseHexType(scanner, number, label);
      value.data = ParseHexList(scanner, number, label);
    } else if (scanner.ConsumeIgnoringCase(u"multi_sz:")) {
      value.type = kRegMultiSz;
      value.data = ParseMultiSz(scanner, number, label);
    } else {
      Fail(number, label + ": unknown value type in " + Excerpt(scanner.Rest()) +
                       "; expected \"text\", dword:, hex:, hex(N): or multi_sz:");
    }
  }

  void ExpectLineEnd(Scanner& scanner, size_t number, const std::string& label) const {
    if (!scanner.AtLineEnd()) {
      Fail(number, label + ": unexpected text " + Excerpt(scanner.Rest()) + " after the value");
    }
  }

  std::vector<uint8_t> ParseDword(Scanner& scanner, size_t number, const std::string& label) const {
    const std::u16string_view digits = scanner.TakeToken();
    const auto dword = ParseHexNumber(digits, 8);
    if (!dword) Fail(number, label + ": dword: needs 1 to 8 hex digits, found " + Quoted(digits));
    return {static_cast<uint8_t>(*dword), static_cast<uint8_t>(*dword >> 8),
            static_cast<uint8_t>(*dword >> 16), static_cast<uint8_t>(*dword >> 24)};
  }

  uint32_t ParseHexType(Scanner& scanner, size_t number, const std::string& label) const {
    const std::u16string_view rest = scanner.Rest();
    const size_t close = rest.find(u"):");
    const auto type = close == std::u16string_view::npos ? std::nullopt
                                                         : ParseHexNumber(rest.substr(0, close), 8);
    if (!type) {
      Fail(number, label + ": hex( needs a type of 1 to 8 hex digits and \"):\", as in hex(7):");
    }
    scanner = Scanner(rest.substr(close + 2));
    return *type;
  }

  std::vector<uint8_t> ParseHexList(Scanner& scanner, size_t number, const std::string& label) {
    std::vector<uint8_t> bytes;
    ParseList(scanner, number, label, [&](Scanner& item, Site site) {
      const std::u16string_view token = item.TakeToken();
      const auto byte = ParseHexNumber(token, 2);
      if (!byte) Fail(site, label + ": bad hex byte " + Quoted(token));
      bytes.push_back(static_cast<uint8_t>(*byte));
    });
    return bytes;
  }

  // Stored as UTF-16LE, each string with its terminator, then one more terminator.
  std::vector<uint8_t> ParseMultiSz(Scanner& scanner, size_t number, const std::string& label) {
    std::vector<uint8_t> bytes;
    ParseList(scanner, number, label, [&](Scanner& item, Site site) {
      const std::vector<uint8_t> text = TerminatedTextBytes(ParseQuoted(item, site, "string"));
      bytes.insert(bytes.end(), text.begin(), text.end());
    });
    AppendUnitLittleEndian(bytes, 0);
    return bytes;
  }

  // A comma-separated list, possibly empty. It continues on the next line after a trailing '\'
  // (regedit) or a trailing ',' (Platform Builder).
  template <typename ReadItem>
  void ParseList(Scanner& scanner, size_t number, const std::string& label, ReadItem readItem) {
    Site site{number, number};
    bool first = true;
    bool afterComma = false;
    while (true) {
      const bool continues = scanner.AtContinuation() || (afterComma && scanner.AtLineEnd());
      if (continues) {
        if (nextLine_ >= lines_.size()) Fail(site, label + ": the list runs past the end of file");
        site.line = nextLine_ + 1;
        scanner = Scanner(Trim(lines_[nextLine_++]));
        continue;
      }
      if (scanner.AtLineEnd()) return;
      if (!first && !afterComma) {
        Fail(site, label + ": expected ',' between list items, found " + Excerpt(scanner.Rest()));
      }
      readItem(scanner, site);
      first = false;
      scanner.SkipSpace();
      afterComma = scanner.Consume(u',');
    }
  }

  void AddValue(RegValue value, size_t number) {
    auto& seen = valueLines_[*currentKey_];
    const auto [earlier, added] = seen.emplace(Folded(value.name), number);
    if (!added) {
      Fail(number, ValueLabel(value.name) + " is already set for [" +
                       ToUtf8(result_.keys[*currentKey_].path) + "] on line " +
                       std::to_string(earlier->second));
    }
    result_.keys[*currentKey_].values.push_back(std::move(value));
  }

  const std::vector<std::u16string_view>& lines_;
  const std::string& fileName_;
  size_t nextLine_ = 0;
  ParsedFile result_;
  std::unordered_map<std::u16string, size_t> keyIndex_;  // folded path -> index in result_.keys
  std::vector<std::unordered_map<std::u16string, size_t>> valueLines_;  // folded name -> line
  std::optional<size_t> currentKey_;
};

// ---------------------------------------------------------------------------------------------
// Writing

// The text of a REG_SZ that is one well-formed, terminated string fit for a quoted line.
std::optional<std::u16string> TerminatedText(const std::vector<uint8_t>& data) {
  if (data.size() < 2 || data.size() % 2 != 0) return std::nullopt;
  std::u16string text;
  for (size_t i = 0; i < data.size(); i += 2) {
    text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
  }
  if (text.back() != u'\0') return std::nullopt;
  text.pop_back();
  if (HasLineBreakOrNul(text) || FindLoneSurrogate(text)) return std::nullopt;
  return text;
}

std::u16string QuotedWithEscapes(std::u16string_view text) {
  std::u16string quoted = u"\"";
  for (char16_t unit : text) {
    if (unit == u'\\' || unit == u'"') quoted.push_back(u'\\');
    quoted.push_back(unit);
  }
  quoted.push_back(u'"');
  return quoted;
}

// "text" or dword:xxxxxxxx; nothing when the value is written as a hex list.
std::optional<std::u16string> ScalarForm(const RegValue& value) {
  if (value.type == kRegSz) {
    if (const auto text = TerminatedText(value.data)) return QuotedWithEscapes(*text);
  }
  if (value.type == kRegDword && value.data.size() == 4) {
    const uint32_t dword = value.data[0] | (value.data[1] << 8) | (value.data[2] << 16) |
                           (static_cast<uint32_t>(value.data[3]) << 24);
    return u"dword:" + HexText(dword, 8);
  }
  return std::nullopt;
}

std::u16string HexListPrefix(uint32_t type) {
  return type == kRegBinary ? std::u16string(u"hex:") : u"hex(" + HexText(type, 1) + u"):";
}

// The value's lines; long hex lists are wrapped with '\' and a two-space indent.
std::vector<std::u16string> ValueLines(const RegValue& value) {
  const std::u16string first =
      value.name.empty() ? std::u16string(u"@=") : QuotedWithEscapes(value.name) + u"=";
  if (const auto scalar = ScalarForm(value)) return {first + *scalar};
  std::vector<std::u16string> lines{first + HexListPrefix(value.type)};
  bool lineHasByte = false;
  for (size_t i = 0; i < value.data.size(); ++i) {
    const std::u16string piece =
        HexText(value.data[i], 2) + (i + 1 < value.data.size() ? u"," : u"");
    if (lineHasByte && lines.back().size() + piece.size() + 1 > kMaxLineWidth) {
      lines.back() += u'\\';
      lines.emplace_back(u"  ");
    }
    lines.back() += piece;
    lineHasByte = true;
  }
  return lines;
}

std::u16string_view HeaderText(RegFileHeader header) {
  switch (header) {
    case RegFileHeader::kRegedit4:
      return kRegedit4Header;
    case RegFileHeader::kRegedit5:
      return kRegedit5Header;
    case RegFileHeader::kNone:
      break;
  }
  return {};
}

std::vector<uint8_t> Encode(std::u16string_view text, RegFileEncoding encoding) {
  std::vector<uint8_t> bytes;
  if (encoding == RegFileEncoding::kUtf16LeBom) {
    bytes = {0xFF, 0xFE};
    for (char16_t unit : text) AppendUnitLittleEndian(bytes, unit);
    return bytes;
  }
  if (encoding == RegFileEncoding::kUtf8Bom) bytes = {0xEF, 0xBB, 0xBF};
  const std::string utf8 = ToUtf8(text);
  bytes.insert(bytes.end(), utf8.begin(), utf8.end());
  return bytes;
}

}  // namespace

bool EqualsIgnoringCase(std::u16string_view a, std::u16string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(),
                    [](char16_t x, char16_t y) { return FoldCase(x) == FoldCase(y); });
}

// ---------------------------------------------------------------------------------------------
// Registry

Registry Registry::Parse(std::span<const uint8_t> fileBytes, const std::string& fileName) {
  const DecodedFile decoded = DecodeFile(fileBytes, fileName);
  const SourceLines source = SplitLines(decoded.text, fileName);
  ParsedFile parsed = RegParser(source.lines, fileName).Parse();
  Registry registry(RegFileFormat{decoded.encoding, parsed.header, source.crlf});
  registry.keys_ = std::move(parsed.keys);
  return registry;
}

Registry Registry::Load(const std::filesystem::path& file) {
  std::vector<uint8_t> bytes;
  try {
    bytes = fileio::ReadWholeFile(file);
  } catch (const fileio::FileError& error) {
    throw RegFileError(file.string() + ": cannot read: " + error.code.message());
  }
  return Parse(bytes, file.string());
}

std::vector<uint8_t> Registry::Serialize() const {
  const std::u16string_view lineEnd = format_.crlf ? u"\r\n" : u"\n";
  std::u16string text;
  const auto addLine = [&](std::u16string_view line) {
    text += line;
    text += lineEnd;
  };
  if (format_.header != RegFileHeader::kNone) {
    addLine(HeaderText(format_.header));
    addLine(u"");
  }
  for (size_t i = 0; i < keys_.size(); ++i) {
    if (i > 0) addLine(u"");
    addLine(u"[" + keys_[i].path + u"]");
    for (const RegValue& value : keys_[i].values) {
      for (const std::u16string& line : ValueLines(value)) addLine(line);
    }
  }
  return Encode(text, format_.encoding);
}

void Registry::Save(const std::filesystem::path& file) const {
  const std::vector<uint8_t> bytes = Serialize();
  try {
    fileio::ReplaceFile(file, bytes);
  } catch (const fileio::FileError& error) {
    throw RegFileError(file.string() + ": cannot save: " + error.what());
  }
}

std::optional<size_t> Registry::FindKeyIndex(std::u16string_view path) const {
  const auto key = std::find_if(keys_.begin(), keys_.end(), [&](const RegKey& candidate) {
    return EqualsIgnoringCase(candidate.path, path);
  });
  if (key == keys_.end()) return std::nullopt;
  return static_cast<size_t>(key - keys_.begin());
}

std::optional<size_t> Registry::FirstSubkeyIndex(std::u16string_view path) const {
  const auto key = std::find_if(keys_.begin(), keys_.end(), [&](const RegKey& candidate) {
    return IsSubkeyPath(candidate.path, path);
  });
  if (key == keys_.end()) return std::nullopt;
  return static_cast<size_t>(key - keys_.begin());
}

bool Registry::KeyExists(std::u16string_view path) const {
  return IsRootKey(path) || FindKeyIndex(path) || FirstSubkeyIndex(path);
}

const RegKey* Registry::FindKey(std::u16string_view path) const {
  const auto index = FindKeyIndex(path);
  return index ? &keys_[*index] : nullptr;
}

const RegValue* Registry::FindValue(std::u16string_view keyPath, std::u16string_view name) const {
  const RegKey* key = FindKey(keyPath);
  return key ? FindValueIn(*key, name) : nullptr;
}

RegKey& Registry::KeyForWriting(std::u16string_view path) {
  if (const auto index = FindKeyIndex(path)) return keys_[*index];
  const auto subkey = FirstSubkeyIndex(path);
  if (!subkey) return keys_.emplace_back(RegKey{std::u16string(path), {}});
  // Spelled like the subkey's section, so the file reads consistently.
  RegKey key{keys_[*subkey].path.substr(0, path.size()), {}};
  return *keys_.insert(keys_.begin() + static_cast<std::ptrdiff_t>(*subkey), std::move(key));
}

bool Registry::SetValue(std::u16string_view keyPath, std::u16string_view name, uint32_t type,
                        std::vector<uint8_t> data) {
  if (const auto problem = KeyPathProblem(keyPath)) throw std::invalid_argument(*problem);
  if (const auto problem = ValueNameProblem(name)) throw std::invalid_argument(*problem);
  RegKey& key = KeyForWriting(keyPath);
  for (RegValue& value : key.values) {
    if (!EqualsIgnoringCase(value.name, name)) continue;
    const bool changed = value.type != type || value.data != data;
    value.type = type;
    value.data = std::move(data);
    return changed;
  }
  key.values.push_back(RegValue{std::u16string(name), type, std::move(data)});
  return true;
}

namespace {

// Each key by its case-folded path, so that comparing two large registries stays linear.
std::unordered_map<std::u16string, const RegKey*> KeysByPath(const Registry& registry) {
  std::unordered_map<std::u16string, const RegKey*> keys;
  for (const RegKey& key : registry.Keys()) keys.try_emplace(Folded(key.path), &key);
  return keys;
}

const RegKey* FindIn(const std::unordered_map<std::u16string, const RegKey*>& keys,
                     std::u16string_view path) {
  const auto found = keys.find(Folded(path));
  return found == keys.end() ? nullptr : found->second;
}

}  // namespace

std::vector<ValueChange> Diff(const Registry& before, const Registry& after) {
  const auto beforeKeys = KeysByPath(before), afterKeys = KeysByPath(after);
  std::vector<ValueChange> changes;
  for (const RegKey& oldKey : before.Keys()) {
    const RegKey* newKey = FindIn(afterKeys, oldKey.path);
    for (const RegValue& oldValue : oldKey.values) {
      const RegValue* newValue = newKey ? FindValueIn(*newKey, oldValue.name) : nullptr;
      if (!newValue) {
        changes.push_back(ValueChange{oldKey.path, oldValue.name, oldValue, std::nullopt});
      } else if (newValue->type != oldValue.type || newValue->data != oldValue.data) {
        changes.push_back(ValueChange{oldKey.path, oldValue.name, oldValue, *newValue});
      }
    }
    if (!newKey) continue;
    for (const RegValue& newValue : newKey->values) {
      if (!FindValueIn(oldKey, newValue.name)) {
        changes.push_back(ValueChange{oldKey.path, newValue.name, std::nullopt, newValue});
      }
    }
  }
  for (const RegKey& newKey : after.Keys()) {
    if (FindIn(beforeKeys, newKey.path)) continue;
    for (const RegValue& value : newKey.values) {
      changes.push_back(ValueChange{newKey.path, value.name, std::nullopt, value});
    }
  }
  return changes;
}

std::string FormatValueData(const RegValue& value) {
  if (const auto scalar = ScalarForm(value)) return ToUtf8(*scalar);
  std::u16string text = HexListPrefix(value.type);
  for (size_t i = 0; i < value.data.size(); ++i) {
    if (i > 0) text += u',';
    text += HexText(value.data[i], 2);
  }
  return ToUtf8(text);
}

std::string ToUtf8(std::u16string_view text) {
  std::string utf8;
  utf8.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t code = text[i];
    if (IsHighSurrogate(code) && i + 1 < text.size() && IsLowSurrogate(text[i + 1])) {
      code = 0x10000 + ((code - 0xD800) << 10) + (text[++i] - 0xDC00);
    } else if (IsHighSurrogate(code) || IsLowSurrogate(code)) {
      code = 0xFFFD;
    }
    AppendUtf8(utf8, code);
  }
  return utf8;
}

std::u16string FromUtf8(std::string_view text) {
  Utf8Decoding decoding = DecodeUtf8(text);
  if (decoding.errorOffset) {
    throw std::invalid_argument("malformed UTF-8 at byte " + std::to_string(*decoding.errorOffset));
  }
  return std::move(decoding.text);
}

}  // namespace device
