#include "reg_file_reader.h"

#include <utf8.h>

#include <algorithm>
#include <array>
#include <unordered_map>
#include <utility>

#include "binary.h"

namespace device::regfile {
namespace {

constexpr std::string_view kRegedit4Header = "REGEDIT4";
constexpr std::string_view kRegedit5Header = "Windows Registry Editor Version 5.00";
constexpr size_t kMaxValueNameLength = 255;
constexpr size_t kExcerptLength = 40;
constexpr const char* kNotEdits = "a device registry file holds state, not edits";

bool IsSpace(char c) {
  return c == ' ' || c == '\t';
}

std::string Quoted(std::u16string_view text) {
  return "\"" + ToUtf8(text) + "\"";
}

// A short quoted piece of a line for messages.
std::string Excerpt(std::string_view utf8) {
  const std::u16string text = FromValidUtf8(utf8);
  if (text.size() <= kExcerptLength) return Quoted(text);
  return Quoted(std::u16string_view(text).substr(0, kExcerptLength)) + "...";
}

using binary::StartsWithIgnoringCase;

// 1 to maxDigits hex digits, nothing else.
std::optional<uint32_t> ParseHexNumber(std::string_view digits, size_t maxDigits) {
  if (digits.empty() || digits.size() > maxDigits) return std::nullopt;
  uint32_t number = 0;
  for (char c : digits) {
    const int digit = binary::HexDigit(c);
    if (digit < 0) return std::nullopt;
    number = number * 16 + static_cast<uint32_t>(digit);
  }
  return number;
}

void AppendTerminatedText(std::vector<uint8_t>& bytes, std::string_view utf8) {
  binary::AppendUtf16(bytes, FromValidUtf8(utf8));
  binary::Append<uint16_t>(bytes, 0);
}

std::optional<RegFileHeader> HeaderOf(std::string_view line) {
  if (line.empty() || (line.front() != 'R' && line.front() != 'W')) return std::nullopt;
  if (line == kRegedit4Header) return RegFileHeader::kRegedit4;
  if (line == kRegedit5Header) return RegFileHeader::kRegedit5;
  return std::nullopt;
}

bool HasLineBreakOrNul(std::u16string_view text) {
  return text.find_first_of(std::u16string_view(u"\r\n\0", 3)) != std::u16string_view::npos;
}

[[noreturn]] void FailAt(const std::string& fileName, size_t line, const std::string& what) {
  throw RegFileError(fileName + ":" + std::to_string(line) + ": " + what);
}

// A value's name as messages show it, spelled out only when a message is made.
struct Label {
  std::string_view utf8Name;
};
std::string operator+(Label label, const std::string& rest) {
  if (label.utf8Name.empty()) return "@" + rest;
  return "\"" + std::string(label.utf8Name) + "\"" + rest;
}

// The number of UTF-16 units the UTF-8 text needs.
size_t Utf16Length(std::string_view utf8) {
  size_t units = 0;
  for (char c : utf8) {
    const auto byte = static_cast<uint8_t>(c);
    if ((byte & 0xC0) != 0x80) ++units;
    if (byte >= 0xF0) ++units;  // a surrogate pair
  }
  return units;
}

// Whether the key path has none of the problems KeyPathProblem finds, checked on the UTF-8 text
// without converting it; a path of valid UTF-8 on one line holds no NUL, line break or lone
// surrogate, and the roots are ASCII.
bool PlainKeyPath(std::string_view path) {
  if (path.empty() || path.front() == '\\' || path.back() == '\\') return false;
  if (path.find("\\\\") != std::string_view::npos || path.find(']') != std::string_view::npos) {
    return false;
  }
  const std::string_view root = path.substr(0, path.find('\\'));
  return std::any_of(kRootKeys.begin(), kRootKeys.end(), [&](std::u16string_view known) {
    return root.size() == known.size() &&
           std::equal(root.begin(), root.end(), known.begin(), [](char a, char16_t b) {
             return FoldCase(static_cast<uint8_t>(a)) == FoldCase(b);
           });
  });
}

// A value name met in the current key: its hash, line and index among the key's values.
struct SeenName {
  uint64_t hash;
  size_t line;
  uint32_t index;
};
constexpr size_t kNamesSearchedInARow = 32;

// Where an item is read: the line it starts on and the line being read now.
struct Site {
  size_t itemLine;
  size_t line;
};

// Reads the text line by line and, within a line, left to right. When `bytes` is null while
// data is read, the data is only checked.
class Reader {
 public:
  Reader(std::string_view text, const std::string& fileName) : text_(text), fileName_(fileName) {}

  Document ReadAll() {
    bool seenContent = false;
    while (NextLine()) {
      SkipSpace();
      const std::string_view line = TrimmedRest();
      if (line.empty()) continue;
      if (!std::exchange(seenContent, true)) {
        if (const auto header = HeaderOf(line)) {
          document_.header = *header;
          continue;
        }
      }
      ReadItem(line);
    }
    for (KeyEntry& key : document_.keys) key.values.shrink_to_fit();
    document_.keys.shrink_to_fit();
    return std::move(document_);
  }

  // Reads the value that starts at `entry.nameBegin`, on a text already read once.
  RegValue ReadValueAt(const ValueEntry& entry) {
    nextLine_ = text_.rfind('\n', entry.nameBegin);
    nextLine_ = nextLine_ == std::string_view::npos ? 0 : nextLine_ + 1;
    NextLine();
    position_ = entry.nameBegin;
    RegValue value;
    const std::string name = ReadValueName();
    value.name = FromValidUtf8(name);
    SkipSpace();
    ++position_;  // '='
    SkipSpace();
    std::vector<uint8_t> bytes;
    value.type = ReadData(Label{name}, &bytes);
    value.data = std::move(bytes);
    return value;
  }

 private:
  // Moves to the next line; false past the end.
  bool NextLine() {
    if (nextLine_ > text_.size()) return false;
    lineStart_ = nextLine_;
    ++lineNumber_;
    const size_t found = text_.find('\n', lineStart_);
    const bool newline = found != std::string_view::npos;
    const size_t end = newline ? found : text_.size();
    lineEnd_ = end;
    const bool endsWithCr = lineEnd_ > lineStart_ && text_[lineEnd_ - 1] == '\r';
    if (endsWithCr) --lineEnd_;
    if (newline && !sawLineEnd_) {
      sawLineEnd_ = true;
      document_.crlf = endsWithCr;
    }
    const std::string_view line = text_.substr(lineStart_, lineEnd_ - lineStart_);
    if (line.find('\0') != std::string_view::npos) {
      Fail(lineNumber_, "NUL character in text (UTF-16 without a byte order mark?)");
    }
    if (line.find('\r') != std::string_view::npos || (endsWithCr && !newline)) {
      Fail(lineNumber_, "carriage return without a line feed");
    }
    position_ = lineStart_;
    nextLine_ = end + 1;
    return true;
  }

  bool AtEnd() const { return position_ >= lineEnd_; }
  char Peek() const { return AtEnd() ? '\0' : text_[position_]; }
  std::string_view Rest() const { return text_.substr(position_, lineEnd_ - position_); }
  std::string_view TrimmedRest() const {
    std::string_view rest = Rest();
    while (!rest.empty() && IsSpace(rest.back())) rest.remove_suffix(1);
    return rest;
  }
  void SkipSpace() {
    while (!AtEnd() && IsSpace(text_[position_])) ++position_;
  }
  bool Consume(char c) {
    if (Peek() != c || AtEnd()) return false;
    ++position_;
    return true;
  }
  bool ConsumeIgnoringCase(std::string_view word) {
    if (!StartsWithIgnoringCase(Rest(), word)) return false;
    position_ += word.size();
    return true;
  }
  // True when only whitespace or a ; comment is left.
  bool AtLineEnd() {
    SkipSpace();
    return AtEnd() || Peek() == ';';
  }
  // A regedit continuation: '\' with nothing but a comment after it. Leaves the position.
  bool AtContinuation() {
    const size_t start = position_;
    SkipSpace();
    const bool continues = Consume('\\') && AtLineEnd();
    position_ = start;
    return continues;
  }
  // Up to the next whitespace, ',' or ';'.
  std::string_view TakeToken() {
    const size_t start = position_;
    while (!AtEnd() && !IsSpace(Peek()) && Peek() != ',' && Peek() != ';') ++position_;
    return text_.substr(start, position_ - start);
  }

  [[noreturn]] void Fail(Site site, std::string what) const {
    if (site.line != site.itemLine)
      what += " (continued on line " + std::to_string(site.line) + ")";
    FailAt(fileName_, site.itemLine, what);
  }
  [[noreturn]] void Fail(size_t line, const std::string& what) const {
    Fail(Site{line, line}, what);
  }

  void ReadItem(std::string_view line) {
    if (line.front() == ';') return;
    if (HeaderOf(line))
      Fail(lineNumber_, "the header " + Excerpt(line) + " belongs on the first line");
    if (line.front() == '[') return ReadSection(line);
    if (line.front() == '"' || line.front() == '@') return ReadValueLine();
    RefuseBuildDirective(line);
    Fail(lineNumber_, "unexpected text " + Excerpt(line) +
                          "; expected a [key] section, a \"name\"=value line or a ; comment");
  }

  void RefuseBuildDirective(std::string_view line) const {
    const std::string_view word = line.substr(0, line.find_first_of(" \t"));
    const auto is = [&](std::string_view directive) {
      return word.size() == directive.size() && StartsWithIgnoringCase(word, directive);
    };
    if (is("IF") || is("ENDIF")) {
      Fail(lineNumber_, std::string(word) +
                            " makes values depend on the build; a device registry file holds "
                            "state, not build conditions");
    }
    if (StartsWithIgnoringCase(line, "#include")) {
      Fail(lineNumber_,
           "#include pulls in another file; a device registry file holds state, not build input");
    }
  }

  void ReadSection(std::string_view line) {
    const size_t close = line.find(']');
    if (close == std::string_view::npos) Fail(lineNumber_, "section header has no closing ']'");
    const std::string_view path = line.substr(1, close - 1);
    if (!path.empty() && path.front() == '-') {
      Fail(lineNumber_, "[" + std::string(path) + "] deletes a key; " + kNotEdits);
    }
    position_ += close + 1;
    if (!AtLineEnd()) {
      Fail(lineNumber_, "unexpected text " + Excerpt(TrimmedRest()) + " after the section header");
    }
    if (!PlainKeyPath(path)) {
      if (const auto problem = KeyPathProblem(FromValidUtf8(path))) Fail(lineNumber_, *problem);
    }
    OpenKey(static_cast<uint32_t>(path.data() - text_.data()), path);
  }

  void OpenKey(uint32_t pathBegin, std::string_view path) {
    const uint64_t hash = FoldedHashUtf8(path);
    currentKey_ = FindOpenedKey(path, hash);
    if (!currentKey_) {
      currentKey_ = static_cast<uint32_t>(document_.keys.size());
      document_.keys.push_back(
          KeyEntry{pathBegin, static_cast<uint32_t>(path.size()), 0, true, {}});
      document_.index.Add(hash, *currentKey_);
    }
    document_.keys[*currentKey_].insertAt =
        static_cast<uint32_t>(std::min(nextLine_, text_.size()));
    seenNames_.clear();
    manyNames_.clear();
    sharedNameHash_.clear();
    const std::vector<ValueEntry>& values = document_.keys[*currentKey_].values;
    for (uint32_t i = 0; i < values.size(); ++i) {
      const auto line = std::count(text_.begin(), text_.begin() + values[i].nameBegin, '\n') + 1;
      NoteName(ToUtf8(NameAt(values[i])), static_cast<size_t>(line), i);
    }
  }

  std::optional<uint32_t> FindOpenedKey(std::string_view path, uint64_t hash) const {
    std::optional<std::u16string> wanted;
    return document_.index.Find(hash, [&](uint32_t index) {
      if (!wanted) wanted = FromValidUtf8(path);
      const KeyEntry& key = document_.keys[index];
      return EqualsIgnoringCase(FromValidUtf8(text_.substr(key.pathBegin, key.pathLength)),
                                *wanted);
    });
  }

  void ReadValueLine() {
    if (!currentKey_) Fail(lineNumber_, "value outside any [key] section");
    const size_t itemLine = lineNumber_;
    ValueEntry entry;
    entry.nameBegin = static_cast<uint32_t>(position_);
    const std::string name = ReadValueName();
    SkipSpace();
    if (!Consume('=')) Fail(lineNumber_, Label{name} + ": expected '=' after the value name");
    SkipSpace();
    entry.dataBegin = static_cast<uint32_t>(position_);
    ReadData(Label{name}, nullptr);
    entry.dataEnd = static_cast<uint32_t>(dataEnd_);
    AddValue(entry, name, itemLine);
  }

  // In UTF-8; empty for the default value.
  std::string ReadValueName() {
    if (Consume('@')) return {};
    std::string name;
    ReadQuoted(Site{lineNumber_, lineNumber_}, "value name", &name);
    if (Utf16Length(name) > kMaxValueNameLength) {
      if (const auto problem = ValueNameProblem(FromValidUtf8(name))) Fail(lineNumber_, *problem);
    }
    return name;
  }

  // A "quoted" string with the escapes \\ and \", its text appended to `out` if given.
  void ReadQuoted(Site site, const std::string& what, std::string* out) {
    if (!Consume('"'))
      Fail(site, "expected a quoted " + what + ", found " + Excerpt(TrimmedRest()));
    while (!AtEnd()) {
      const size_t run = position_;
      while (!AtEnd() && Peek() != '"' && Peek() != '\\') ++position_;
      if (out) out->append(text_.substr(run, position_ - run));
      if (AtEnd()) break;
      if (text_[position_++] == '"') {
        dataEnd_ = position_;
        return;
      }
      if (AtEnd()) {  // a lone '\' at the end of the line is kept as it is
        if (out) out->push_back('\\');
        break;
      }
      const char escaped = text_[position_];
      if (escaped != '\\' && escaped != '"') {
        auto after = text_.begin() + position_;
        utf8::unchecked::next(after);
        const auto length = static_cast<size_t>(after - (text_.begin() + position_));
        Fail(site, "unknown escape \\" + std::string(text_.substr(position_, length)) + " in " +
                       what + "; only \\\\ and \\\" are allowed");
      }
      if (out) out->push_back(escaped);
      ++position_;
    }
    Fail(site, "unterminated " + what + ": no closing '\"'");
  }

  // Returns the type; the bytes go to `bytes` if given. Leaves dataEnd_ after the last item.
  uint32_t ReadData(Label label, std::vector<uint8_t>* bytes) {
    const size_t line = lineNumber_;
    if (AtLineEnd()) Fail(line, label + " has no data after '='");
    if (Peek() == '-') {
      const size_t start = position_++;
      if (AtLineEnd()) Fail(line, label + "=- deletes a value; " + kNotEdits);
      position_ = start;
    }
    if (Peek() == '"') {
      std::string text;
      ReadQuoted(Site{line, line}, "string", bytes ? &text : nullptr);
      if (bytes) AppendTerminatedText(*bytes, text);
      ExpectLineEnd(line, label);
      return kRegSz;
    }
    if (ConsumeIgnoringCase("dword:")) {
      const std::string_view digits = TakeToken();
      const auto dword = ParseHexNumber(digits, 8);
      if (!dword) {
        Fail(line, label + ": dword: needs 1 to 8 hex digits, found " + Excerpt(digits));
      }
      if (bytes) {
        bytes->clear();
        binary::Append(*bytes, *dword);
      }
      dataEnd_ = position_;
      ExpectLineEnd(line, label);
      return kRegDword;
    }
    uint32_t type = kRegBinary;
    if (ConsumeIgnoringCase("hex(")) {
      type = ReadHexType(line, label);
    } else if (ConsumeIgnoringCase("multi_sz:")) {
      ReadMultiSz(line, label, bytes);
      return kRegMultiSz;
    } else if (!ConsumeIgnoringCase("hex:")) {
      Fail(line, label + ": unknown value type in " + Excerpt(TrimmedRest()) +
                     "; expected \"text\", dword:, hex:, hex(N): or multi_sz:");
    }
    ReadHexList(line, label, bytes);
    return type;
  }

  void ExpectLineEnd(size_t line, Label label) {
    if (!AtLineEnd()) {
      Fail(line, label + ": unexpected text " + Excerpt(TrimmedRest()) + " after the value");
    }
  }

  uint32_t ReadHexType(size_t line, Label label) {
    const std::string_view rest = Rest();
    const size_t close = rest.find("):");
    const auto type =
        close == std::string_view::npos ? std::nullopt : ParseHexNumber(rest.substr(0, close), 8);
    if (!type) {
      Fail(line, label + ": hex( needs a type of 1 to 8 hex digits and \"):\", as in hex(7):");
    }
    position_ += close + 2;
    return *type;
  }

  void ReadHexList(size_t line, Label label, std::vector<uint8_t>* bytes) {
    ReadList(line, label, [&](Site site) {
      const std::string_view token = TakeToken();
      const auto byte = ParseHexNumber(token, 2);
      if (!byte) Fail(site, label + ": bad hex byte " + Excerpt(token));
      if (bytes) bytes->push_back(static_cast<uint8_t>(*byte));
      dataEnd_ = position_;
    });
  }

  // Stored as UTF-16LE, each string with its terminator, then one more terminator.
  void ReadMultiSz(size_t line, Label label, std::vector<uint8_t>* bytes) {
    ReadList(line, label, [&](Site site) {
      std::string text;
      ReadQuoted(site, "string", bytes ? &text : nullptr);
      if (bytes) AppendTerminatedText(*bytes, text);
    });
    if (bytes) binary::Append<uint16_t>(*bytes, 0);
  }

  // A comma-separated list, possibly empty. It continues on the next line after a trailing '\'
  // (regedit) or a trailing ',' (Platform Builder), which also carries it over blank lines.
  // dataEnd_ ends after the last item, or after a '\' that the next line did not continue.
  template <typename ReadItem>
  void ReadList(size_t line, Label label, ReadItem readItem) {
    Site site{line, line};
    dataEnd_ = position_;
    bool first = true;
    bool afterComma = false;
    while (true) {
      const bool backslash = AtContinuation();
      if (backslash || (afterComma && AtLineEnd())) {
        if (backslash) dataEnd_ = text_.find('\\', position_) + 1;
        if (nextLine_ > text_.size()) Fail(site, label + ": the list runs past the end of file");
        NextLine();
        site.line = lineNumber_;
        continue;
      }
      if (AtLineEnd()) return;
      if (!first && !afterComma) {
        Fail(site, label + ": expected ',' between list items, found " + Excerpt(TrimmedRest()));
      }
      readItem(site);
      first = false;
      SkipSpace();
      afterComma = Consume(',');
    }
  }

  std::u16string NameAt(const ValueEntry& value) const {
    return Reader(text_, fileName_).ReadValueAt(value).name;
  }

  // Remembers the name of the current key's value `index`; returns the line of an earlier value
  // of the same name.
  std::optional<size_t> NoteName(std::string_view utf8Name, size_t line, uint32_t index) {
    const uint64_t hash = FoldedHashUtf8(utf8Name);
    const SeenName* earlier = FindSeenName(hash);
    if (!earlier) {
      RememberName(SeenName{hash, line, index});
      return std::nullopt;
    }
    const std::u16string name = FromValidUtf8(utf8Name);
    const ValueEntry& earlierValue = document_.keys[*currentKey_].values[earlier->index];
    if (EqualsIgnoringCase(NameAt(earlierValue), name)) return earlier->line;
    for (const auto& [other, otherLine] : sharedNameHash_) {
      if (EqualsIgnoringCase(other, name)) return otherLine;
    }
    sharedNameHash_.emplace_back(name, line);
    return std::nullopt;
  }

  // Most keys hold a few values, searched in a row; a key with many gets a hash table as well.
  const SeenName* FindSeenName(uint64_t hash) const {
    if (manyNames_.empty()) {
      for (const SeenName& seen : seenNames_) {
        if (seen.hash == hash) return &seen;
      }
      return nullptr;
    }
    const auto found = manyNames_.find(hash);
    return found == manyNames_.end() ? nullptr : &seenNames_[found->second];
  }

  void RememberName(SeenName seen) {
    seenNames_.push_back(seen);
    if (seenNames_.size() <= kNamesSearchedInARow) return;
    if (manyNames_.empty()) {
      for (size_t i = 0; i < seenNames_.size(); ++i) manyNames_.emplace(seenNames_[i].hash, i);
    } else {
      manyNames_.emplace(seen.hash, seenNames_.size() - 1);
    }
  }

  void AddValue(ValueEntry entry, const std::string& name, size_t line) {
    const auto index = static_cast<uint32_t>(document_.keys[*currentKey_].values.size());
    if (const auto earlier = NoteName(name, line, index)) {
      const KeyEntry& key = document_.keys[*currentKey_];
      Fail(line, Label{name} + " is already set for [" +
                     std::string(text_.substr(key.pathBegin, key.pathLength)) + "] on line " +
                     std::to_string(*earlier) +
                     "; regedit would keep the later one, but which one the device holds is not "
                     "clear: remove one");
    }
    KeyEntry& key = document_.keys[*currentKey_];
    key.values.push_back(entry);
    key.insertAt = static_cast<uint32_t>(std::min(nextLine_, text_.size()));
  }

  std::string_view text_;
  const std::string& fileName_;
  size_t lineNumber_ = 0;
  size_t lineStart_ = 0, lineEnd_ = 0, nextLine_ = 0;
  size_t position_ = 0;
  size_t dataEnd_ = 0;
  bool sawLineEnd_ = false;
  Document document_;
  // The current key's value names by hash, with their line and index; the same by hash when there
  // are many; and names whose hash another name has (hardly ever any).
  std::vector<SeenName> seenNames_;
  std::unordered_map<uint64_t, size_t> manyNames_;
  std::vector<std::pair<std::u16string, size_t>> sharedNameHash_;
  std::optional<uint32_t> currentKey_;
};

}  // namespace

Document ReadDocument(std::string_view text, const std::string& fileName) {
  if (text.size() > kMaxTextSize) {
    throw RegFileError(fileName + ": the text is larger than " +
                       std::to_string(kMaxTextSize >> 20) + " MiB");
  }
  return Reader(text, fileName).ReadAll();
}

RegValue ReadValue(std::string_view text, const ValueEntry& entry) {
  static const std::string kAlreadyRead = "(read before)";
  return Reader(text, kAlreadyRead).ReadValueAt(entry);
}

void KeyIndex::Add(uint64_t hash, uint32_t index) {
  if (4 * (count_ + 1) > 3 * slots_.size()) {
    std::vector<Slot> old(std::max<size_t>(16, 2 * slots_.size()));
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.index != kNoKey) Place(slot);
    }
  }
  Place(Slot{hash, index});
  ++count_;
}

void KeyIndex::Place(Slot slot) {
  size_t i = slot.hash & (slots_.size() - 1);
  while (slots_[i].index != kNoKey) i = (i + 1) & (slots_.size() - 1);
  slots_[i] = slot;
}

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
  if (!IsRootKey(root)) {
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

}  // namespace device::regfile
